#include "cfb/compound_file.h"

#include <utility>

#include "cfb/core.h"
#include "cfb/internal/path.h"
#include "cfb/internal/time.h"
#include "common/abort.h"

namespace cellvault::cfb {

using namespace internal;

namespace {

// The new file's first three sector-sized blocks: the header, FAT sector 0
// (itself FATSECT, the directory's sector 1 a one-sector chain, the rest
// free) and directory sector 1 (the root entry, then unallocated entries).
Bytes initial_bytes(const Header& header, const Sectors& sectors) {
  const size_t sl = sectors.sector_len();
  Bytes out(3 * sl, 0);
  header.encode(std::span<uint8_t, kHeaderLen>(out.data(), kHeaderLen));
  ByteView fat = sectors.fill_bytes(SectorFill::kFat);
  std::copy(fat.begin(), fat.end(), out.begin() + sl);
  store_u32le(out.data() + sl, FATSECT);
  store_u32le(out.data() + sl + 4, ENDOFCHAIN);
  ByteView dir = sectors.fill_bytes(SectorFill::kDirectory);
  std::copy(dir.begin(), dir.end(), out.begin() + 2 * sl);
  DirEntry::empty_root_entry().encode(std::span<uint8_t, kDirEntryLen>(out.data() + 2 * sl, kDirEntryLen));
  return out;
}

template <class T>
T expect_fixed(IoResult<T> result, const char* what) {
  // The layers are built over fixed, known-good values; a failure here is
  // a fault of the writer itself.
  if (!result.ok()) abort_call(std::string(what) + ": " + result.error().render());
  return std::move(result).take();
}

}  // namespace

IoResult<CompoundFile> create_with_file(File file, Version version) {
  Header header;
  header.version = version;
  // Version 3 files must record 0 directory sectors.
  header.num_dir_sectors = version == Version::V4 ? 1 : 0;
  header.num_fat_sectors = 1;
  header.first_dir_sector = 1;
  header.difat[0] = 0;
  Sectors sectors(std::move(file), header, 2);
  CV_TRY(sectors.file().write_at(initial_bytes(header, sectors), 0));

  Allocator alloc = expect_fixed(
      Allocator::create(std::move(sectors), {}, {0}, {FATSECT, ENDOFCHAIN}), "allocator");
  Directory dir = expect_fixed(
      Directory::create(std::move(alloc), {DirEntry::empty_root_entry()}, 1), "directory");
  MiniAllocator mini =
      expect_fixed(MiniAllocator::create(std::move(dir), {}, ENDOFCHAIN), "minialloc");
  return CompoundFile(std::make_shared<Core>(std::move(mini)));
}

IoResult<CompoundFile> create_with_path(std::string_view path, Version version) {
  CV_TRY_ASSIGN(File file, File::create(path));
  return create_with_file(std::move(file), version);
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
      CV_TRY(dir.with_dir_entry_mut(*found, [](DirEntry& e) {
        e.start_sector = ENDOFCHAIN;
        e.stream_size = 0;
        e.modified_time = current_timestamp();
      }));
      CV_TRY(mini.commit());
    }
    return Stream(core_, *found);
  }
  CV_TRY_ASSIGN(const uint32_t parent, parent_of(names));
  CV_TRY_ASSIGN(const uint32_t id, dir.insert_dir_entry(parent, names.back(), ObjType::kStream));
  CV_TRY(mini.commit());
  return Stream(core_, id);
}

IoResult<void> CompoundFile::create_storage(std::string_view path) {
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

File CompoundFile::release_file() && {
  std::shared_ptr<Core> core = std::move(core_);
  return std::move(core->mini.directory().allocator().sectors().file());
}

uint64_t CompoundFile::write_calls() const {
  return core_->mini.directory().allocator().sectors().file().write_calls();
}

Version CompoundFile::version() const {
  return core_->mini.directory().allocator().sectors().version();
}

}  // namespace cellvault::cfb
