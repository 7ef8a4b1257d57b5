#include "cfb/internal/directory.h"

#include <algorithm>

#include "cfb/internal/chain.h"
#include "cfb/internal/malformed.h"
#include "cfb/internal/name.h"
#include "cfb/internal/time.h"
#include "common/bytes.h"

namespace cellvault::cfb::internal {
namespace {

IoError malformed_dir(const std::string& detail) { return malformed("directory", detail); }

IoResult<void> validate(const std::vector<DirEntry>& entries) {
  if (entries.empty()) return Err{malformed_dir("root entry is missing")};
  const uint64_t root_len = entries[0].stream_size;
  if (root_len % kMiniSectorLen != 0) {
    return Err{malformed_dir("root stream len is " + str(root_len) + ", but should be multiple of 64")};
  }
  const size_t count = entries.size();
  std::vector<bool> visited(count, false);
  std::vector<uint32_t> stack = {0};
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (visited[id]) return Err{malformed_dir("loop in tree")};
    visited[id] = true;
    const DirEntry& e = entries[id];
    if (id == 0 && e.obj_type != ObjType::kRoot) {
      return Err{malformed_dir("root entry has object type " + std::string(obj_type_name(e.obj_type)))};
    }
    if (id != 0 && e.obj_type != ObjType::kStorage && e.obj_type != ObjType::kStream) {
      return Err{malformed_dir("non-root entry with object type " +
                           std::string(obj_type_name(e.obj_type)))};
    }
    // Each link must point inside the directory, and a sibling must order
    // on its side of the entry.
    static constexpr const char* kLinkNames[] = {"left sibling", "right sibling", "child"};
    const uint32_t links[] = {e.left_sibling, e.right_sibling, e.child};
    for (size_t k = 0; k < 3; ++k) {
      const uint32_t to = links[k];
      if (to == NOSTREAM) continue;
      if (to >= count) {
        return Err{malformed_dir(std::string(kLinkNames[k]) + " index is " + str(to) +
                             ", but directory entry count is " + str(count))};
      }
      const DirEntry& other = entries[to];
      if (k < 2 && (k == 0 ? compare_names(other.name, e.name) : compare_names(e.name, other.name)) >= 0) {
        return Err{malformed_dir("name ordering, " + quote(e.name) + " vs " + quote(other.name))};
      }
      stack.push_back(to);
    }
  }
  return {};
}

}  // namespace

IoResult<Directory> Directory::create(Allocator alloc, std::vector<DirEntry> entries,
                                      uint32_t start_sector) {
  CV_TRY(validate(entries));
  CV_TRY_ASSIGN(Chain chain, Chain::open(alloc, start_sector, SectorFill::kDirectory));
  std::vector<uint32_t> ids = std::move(chain).take_ids();
  return Directory(std::move(alloc), std::move(entries), start_sector, std::move(ids));
}

IoResult<uint64_t> Directory::entry_offset(uint32_t id, uint64_t field) const {
  Sectors const& sectors = alloc_.sectors();
  const size_t sl = sectors.sector_len();
  const uint64_t position = uint64_t{id} * kDirEntryLen;
  const uint64_t length = uint64_t{chain_.size()} * sl;
  if (position >= length) return Err{cannot_seek(position, length)};
  const uint32_t sector = chain_[position / sl];
  CV_TRY(sectors.check_sector(sector));
  return sectors.sector_offset(sector) + position % sl + field;
}

IoResult<void> Directory::write_dir_entry(uint32_t id) {
  CV_TRY_ASSIGN(const uint64_t offset, entry_offset(id, 0));
  uint8_t bytes[kDirEntryLen];
  entries_[id].encode(bytes);
  return alloc_.sectors().file().write_at(ByteView(bytes, sizeof(bytes)), offset);
}

std::optional<uint32_t> Directory::find_child(uint32_t parent, std::string_view name) const {
  uint32_t id = entries_[parent].child;
  while (id != NOSTREAM) {
    const int c = compare_names(name, entries_[id].name);
    if (c == 0) return id;
    id = c < 0 ? entries_[id].left_sibling : entries_[id].right_sibling;
  }
  return std::nullopt;
}

std::optional<uint32_t> Directory::lookup_name_chain(std::span<const std::string> names) const {
  uint32_t id = 0;
  for (const std::string& name : names) {
    const std::optional<uint32_t> child = find_child(id, name);
    if (!child) return std::nullopt;
    id = *child;
  }
  return id;
}

IoResult<uint32_t> Directory::insert_dir_entry(uint32_t parent, std::string_view name,
                                               ObjType type) {
  const size_t units = utf16_len(name);
  if (units > kMaxNameUnits) {
    return Err{IoError::custom(ErrorKind::InvalidInput,
                               "Name " + quote(name) + " is too long (" + str(units) +
                                   " UTF-16 code units, at most 31 fit)")};
  }
  // Find the link to set before anything changes.
  uint32_t link_entry = parent;
  uint64_t link_field = kOffsetChild;
  for (uint32_t id = entries_[parent].child; id != NOSTREAM;) {
    const int c = compare_names(name, entries_[id].name);
    if (c == 0) return Err{IoError::custom(ErrorKind::Other, "internal error: insert duplicate")};
    link_entry = id;
    link_field = c < 0 ? kOffsetLeftSibling : kOffsetRightSibling;
    id = c < 0 ? entries_[id].left_sibling : entries_[id].right_sibling;
  }

  const size_t per_sector = alloc_.sectors().sector_len() / kDirEntryLen;
  auto slot_it = std::find_if(entries_.begin() + 1, entries_.end(), [](const DirEntry& e) {
    return e.obj_type == ObjType::kUnallocated;
  });
  auto slot = static_cast<uint32_t>(slot_it - entries_.begin());
  if (slot_it == entries_.end()) {
    if (entries_.size() % per_sector == 0) {
      CV_TRY_ASSIGN(const uint32_t id, alloc_.allocate_sector(SectorFill::kDirectory));
      CV_TRY(alloc_.set_fat(chain_.back(), id));
      chain_.push_back(id);
      // Version 4 files keep the count of directory sectors; version 3
      // files must leave it 0.
      if (alloc_.sectors().version() == Version::V4) {
        alloc_.sectors().header_mut().num_dir_sectors = static_cast<uint32_t>(chain_.size());
      }
    }
    entries_.push_back(DirEntry::unallocated());
  }
  entries_[slot] = DirEntry::make(std::string(name), type, current_timestamp());

  DirEntry& linked = entries_[link_entry];
  if (link_field == kOffsetChild) {
    linked.child = slot;
  } else if (link_field == kOffsetLeftSibling) {
    linked.left_sibling = slot;
  } else {
    linked.right_sibling = slot;
  }
  CV_TRY_ASSIGN(const uint64_t link_at, entry_offset(link_entry, 0));
  CV_TRY_ASSIGN(const uint64_t slot_at, entry_offset(slot, 0));
  File& file = alloc_.sectors().file();
  if (link_at + kDirEntryLen == slot_at) {
    // The linked entry sits right before the new one: both go out in one
    // write (the linked entry's other bytes are unchanged).
    uint8_t both[2 * kDirEntryLen];
    entries_[link_entry].encode(std::span<uint8_t, kDirEntryLen>(both, kDirEntryLen));
    entries_[slot].encode(std::span<uint8_t, kDirEntryLen>(both + kDirEntryLen, kDirEntryLen));
    CV_TRY(file.write_at(ByteView(both, sizeof(both)), link_at));
  } else {
    uint8_t id_bytes[4];
    store_u32le(id_bytes, slot);
    CV_TRY(file.write_at(ByteView(id_bytes, sizeof(id_bytes)), link_at + link_field));
    CV_TRY(write_dir_entry(slot));
  }
  return slot;
}

void Directory::mark_dirty(uint32_t id) {
  if (std::find(dirty_.begin(), dirty_.end(), id) == dirty_.end()) dirty_.push_back(id);
}

// commit_front writes the header block, FAT sector 0 and directory sector 1
// of a file laid out as a new one starts (they lie one after the other)
// whole and with one call, when the header has changed, or when FAT sector
// 0 and an entry of sector 1 have: a flush then costs one write instead of
// two or three.
IoResult<void> Directory::commit_front() {
  Sectors& sectors = alloc_.sectors();
  if (alloc_.fat_sectors().empty() || alloc_.fat_sectors()[0] != 0 || chain_.empty() ||
      chain_[0] != 1) {
    return {};
  }
  const size_t sl = sectors.sector_len();
  const size_t per = sl / kDirEntryLen;
  const bool dir_dirty = std::any_of(dirty_.begin(), dirty_.end(), [per](uint32_t id) { return id < per; });
  const bool with_header = sectors.header_dirty();
  if (!with_header && !(dir_dirty && alloc_.fat_sector_dirty(0))) return {};
  Bytes front(3 * sl, 0);
  sectors.header().encode(std::span<uint8_t, kHeaderLen>(front.data(), kHeaderLen));
  Bytes fat;
  alloc_.take_meta_sector(0, fat);
  std::copy(fat.begin(), fat.end(), front.begin() + sl);
  ByteView unallocated = sectors.fill_bytes(SectorFill::kDirectory);
  std::copy(unallocated.begin(), unallocated.end(), front.begin() + 2 * sl);
  for (size_t i = 0; i < per && i < entries_.size(); ++i) {
    entries_[i].encode(std::span<uint8_t, kDirEntryLen>(front.data() + 2 * sl + kDirEntryLen * i,
                                                        kDirEntryLen));
  }
  const size_t skip = with_header ? 0 : sl;
  CV_TRY(sectors.file().write_at(ByteView(front).subspan(skip), skip));
  if (with_header) sectors.header_written();
  std::erase_if(dirty_, [per](uint32_t id) { return id < per; });
  return {};
}

IoResult<void> Directory::commit() {
  CV_TRY(commit_front());
  while (!dirty_.empty()) {
    CV_TRY(write_dir_entry(dirty_.back()));
    dirty_.pop_back();
  }
  return alloc_.commit();
}

}  // namespace cellvault::cfb::internal

