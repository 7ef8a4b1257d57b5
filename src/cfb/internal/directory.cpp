#include "cfb/internal/directory.h"

#include <algorithm>

#include "cfb/internal/chain.h"
#include "cfb/internal/malformed.h"
#include "cfb/internal/name.h"
#include "cfb/internal/time.h"

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
  return Directory(std::move(alloc), std::move(entries), std::move(ids));
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
  uint32_t DirEntry::*link = &DirEntry::child;
  for (uint32_t id = entries_[parent].child; id != NOSTREAM;) {
    const int c = compare_names(name, entries_[id].name);
    if (c == 0) return Err{IoError::custom(ErrorKind::Other, "internal error: insert duplicate")};
    link_entry = id;
    link = c < 0 ? &DirEntry::left_sibling : &DirEntry::right_sibling;
    id = entries_[id].*link;
  }

  const DirEntry entry = DirEntry::make(std::string(name), type, current_timestamp());
  auto slot_it = std::find_if(entries_.begin() + 1, entries_.end(), [](const DirEntry& e) {
    return e.obj_type == ObjType::kUnallocated;
  });
  const auto slot = static_cast<uint32_t>(slot_it - entries_.begin());
  if (slot_it != entries_.end()) {
    *slot_it = entry;
  } else {
    if (entries_.size() % entries_per_sector() == 0) {
      // The new sector is written whole at commit: the entry, then
      // unallocated ones, as the directory fill would leave it.
      CV_TRY_ASSIGN(const uint32_t id, alloc_.allocate_unfilled());
      CV_TRY(alloc_.set_fat(chain_.back(), id));
      chain_.push_back(id);
      sector_dirty_.push_back(false);
      Sectors& sectors = alloc_.sectors();
      const uint32_t recorded = recorded_dir_sectors(sectors.version(), static_cast<uint32_t>(chain_.size()));
      if (recorded != sectors.header().num_dir_sectors) sectors.header_mut().num_dir_sectors = recorded;
    }
    entries_.push_back(entry);
  }
  entries_[link_entry].*link = slot;
  mark_dirty(link_entry);
  mark_dirty(slot);
  return slot;
}

void Directory::mark_dirty(uint32_t id) { sector_dirty_[id / entries_per_sector()] = true; }

IoResult<void> Directory::commit() {
  Sectors& sectors = alloc_.sectors();
  for (size_t i = 0; i < chain_.size(); ++i) {
    if (sector_dirty_[i]) CV_TRY(sectors.stage_sector(*this, chain_[i]));
  }
  sectors.offer(*this);
  CV_TRY(alloc_.commit());
  std::fill(sector_dirty_.begin(), sector_dirty_.end(), false);
  return {};
}

size_t Directory::produce(uint64_t offset, std::span<uint8_t> out) const {
  const Sectors& sectors = alloc_.sectors();
  const uint32_t id = sectors.sector_at(offset);
  const auto it = std::find(chain_.begin(), chain_.end(), id);
  if (id == FREESECT || it == chain_.end()) return 0;
  const size_t per = entries_per_sector();
  const size_t first = static_cast<size_t>(it - chain_.begin()) * per;
  uint8_t sector[sector_len_of(Version::V4)];
  for (size_t i = 0; i < per; ++i) {
    const std::span<uint8_t, kDirEntryLen> at(sector + kDirEntryLen * i, kDirEntryLen);
    if (first + i < entries_.size()) {
      entries_[first + i].encode(at);
    } else {
      std::copy(kUnallocatedDirEntry.begin(), kUnallocatedDirEntry.end(), at.begin());
    }
  }
  const size_t in = static_cast<size_t>(offset - sectors.sector_offset(id));
  const size_t n = std::min(out.size(), sectors.sector_len() - in);
  std::copy_n(sector + in, n, out.begin());
  return n;
}

}  // namespace cellvault::cfb::internal
