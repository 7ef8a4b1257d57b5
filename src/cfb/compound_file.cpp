#include "cfb/compound_file.h"

#include <utility>

#include "cfb/core.h"
#include "cfb/internal/path.h"
#include "cfb/internal/time.h"
#include "common/abort.h"

namespace cellvault::cfb {

using namespace internal;

namespace {

template <class T>
T expect_fixed(IoResult<T> result, const char* what) {
  // The layers are built over fixed, known-good values; a failure here is
  // a fault of the writer itself.
  if (!result.ok()) abort_call(std::string(what) + ": " + result.error().render());
  return std::move(result).take();
}

}  // namespace

IoResult<CompoundFile> create_with_file(File& file, Version version) {
  // The layers over the new-file layout; none of it is on disk yet.
  Sectors sectors(file, new_file_header(version), kNewFileSectorCount);
  Allocator alloc = expect_fixed(
      Allocator::create(std::move(sectors), {}, {kNewFileFatSector},
                        std::vector<uint32_t>(kNewFileFat.begin(), kNewFileFat.end())),
      "allocator");
  Directory dir = expect_fixed(
      Directory::create(std::move(alloc), {DirEntry::empty_root_entry()}, kNewFileDirSector),
      "directory");
  MiniAllocator mini =
      expect_fixed(MiniAllocator::create(std::move(dir), {}, ENDOFCHAIN), "minialloc");
  auto core = std::make_shared<Core>(std::move(mini));
  // The header, the FAT sector and the directory sector (root entry, then
  // unallocated entries) go out from the layers' state in one write.
  core->sectors().header_mut();
  core->mini.directory().allocator().mark_all_unwritten();
  core->mini.directory().mark_dirty(0);
  CV_TRY(core->mini.commit());
  return CompoundFile(std::move(core));
}

IoResult<CompoundFile> create_with_path(std::string_view path, Version version) {
  CV_TRY_ASSIGN(File opened, File::create(path));
  auto file = std::make_unique<File>(std::move(opened));
  CV_TRY_ASSIGN(CompoundFile cf, create_with_file(*file, version));
  cf.core_->owned_file = std::move(file);
  return cf;
}

IoResult<uint32_t> CompoundFile::parent_of(std::span<const std::string> names) {
  const Directory& dir = core_->mini.directory();
  const std::optional<uint32_t> parent = dir.lookup_name_chain(names.first(names.size() - 1));
  // A stream cannot hold children: it is no parent storage either.
  if (!parent || dir.entry(*parent).obj_type == ObjType::kStream) {
    return Err{IoError::custom(ErrorKind::NotFound, "Parent storage doesn't exist")};
  }
  return *parent;
}

IoResult<Stream> CompoundFile::create_stream(std::string_view path) {
  const DiscardUnwritten unwritten(core_->sectors());
  if (core_->stream_open) {
    return Err{IoError::custom(ErrorKind::InvalidInput,
                               "another stream of this compound file is still open")};
  }
  CV_TRY_ASSIGN(const std::vector<std::string> names, name_chain_from_path(path));
  MiniAllocator& mini = core_->mini;
  Directory& dir = mini.directory();
  if (const std::optional<uint32_t> found = dir.lookup_name_chain(names)) {
    const DirEntry& entry = dir.entry(*found);
    if (entry.obj_type != ObjType::kStream) {
      return Err{IoError::custom(ErrorKind::AlreadyExists,
                                 "Cannot create stream at " + quote(path_from_name_chain(names)) +
                                     " because a storage already exists there")};
    }
    if (entry.stream_size != 0) {
      // Empty the existing stream: give its storage back first.
      if (entry.start_sector != ENDOFCHAIN) {
        if (entry.stream_size >= kMiniStreamCutoff) {
          CV_TRY(dir.allocator().free_chain(entry.start_sector));
        } else {
          CV_TRY(mini.free_mini_chain(entry.start_sector));
        }
      }
      dir.with_dir_entry_mut(*found, [](DirEntry& e) {
        e.start_sector = ENDOFCHAIN;
        e.stream_size = 0;
        e.modified_time = current_timestamp();
      });
      CV_TRY(mini.commit());
    }
    return Stream(core_, *found);
  }
  CV_TRY_ASSIGN(const uint32_t parent, parent_of(names));
  CV_TRY_ASSIGN(const uint32_t id, dir.insert_dir_entry(parent, names.back(), ObjType::kStream));
  CV_TRY(mini.commit());
  return Stream(core_, id);
}

IoResult<Stream> CompoundFile::overwrite_stream(std::string_view path) {
  if (core_->stream_open) {
    return Err{IoError::custom(ErrorKind::InvalidInput,
                               "another stream of this compound file is still open")};
  }
  CV_TRY_ASSIGN(const std::vector<std::string> names, name_chain_from_path(path));
  const Directory& dir = core_->mini.directory();
  const std::optional<uint32_t> found = dir.lookup_name_chain(names);
  if (!found || dir.entry(*found).obj_type != ObjType::kStream) {
    return Err{IoError::custom(ErrorKind::NotFound, "Stream doesn't exist")};
  }
  return Stream(core_, *found);
}

IoResult<void> CompoundFile::create_storage(std::string_view path) {
  const DiscardUnwritten unwritten(core_->sectors());
  CV_TRY_ASSIGN(const std::vector<std::string> names, name_chain_from_path(path));
  MiniAllocator& mini = core_->mini;
  Directory& dir = mini.directory();
  if (dir.lookup_name_chain(names)) {
    return Err{IoError::custom(ErrorKind::AlreadyExists,
                               "Cannot create storage at " + quote(path_from_name_chain(names)) +
                                   " because an entry already exists there")};
  }
  CV_TRY_ASSIGN(const uint32_t parent, parent_of(names));
  CV_TRY(dir.insert_dir_entry(parent, names.back(), ObjType::kStorage));
  return mini.commit();
}

}  // namespace cellvault::cfb
