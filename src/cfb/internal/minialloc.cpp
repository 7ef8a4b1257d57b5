#include "cfb/internal/minialloc.h"

#include <algorithm>
#include <string>

#include "cfb/internal/chain.h"
#include "cfb/internal/malformed.h"
#include "common/bytes.h"

namespace cellvault::cfb::internal {
namespace {

IoError malformed_minifat(const std::string& detail) { return malformed("MiniFAT", detail); }

}  // namespace

IoResult<MiniAllocator> MiniAllocator::create(Directory directory, std::vector<uint32_t> minifat,
                                              uint32_t minifat_start) {
  const DirEntry& root = directory.entry(0);
  const uint64_t m = root.stream_size / kMiniSectorLen;
  const size_t entries = minifat.size();
  if (m < entries) {
    return Err{malformed_minifat("MiniFAT has " + str(entries) + " entries, but root stream has only " +
                         str(m) + " mini sectors")};
  }
  std::vector<bool> pointed(entries, false);
  for (size_t i = 0; i < entries; ++i) {
    const uint32_t v = minifat[i];
    if (v > MAXREGSECT) continue;
    if (v >= entries) {
      return Err{malformed_minifat("MiniFAT has " + str(entries) + " entries, but mini sector " + str(i) +
                           " points to " + str(v))};
    }
    if (pointed[v]) return Err{malformed_minifat("mini sector " + str(v) + " pointed to twice")};
    pointed[v] = true;
  }
  Allocator& alloc = directory.allocator();
  CV_TRY_ASSIGN(Chain fat_chain, Chain::open(alloc, minifat_start, SectorFill::kFat));
  CV_TRY_ASSIGN(Chain stream_chain, Chain::open(alloc, root.start_sector, SectorFill::kZero));
  std::vector<uint32_t> fat_ids = std::move(fat_chain).take_ids();
  std::vector<uint32_t> stream_ids = std::move(stream_chain).take_ids();
  return MiniAllocator(std::move(directory), std::move(minifat), minifat_start,
                       std::move(fat_ids), std::move(stream_ids));
}

IoResult<uint32_t> MiniAllocator::next_mini_sector(uint32_t id) const {
  if (id >= minifat_.size()) {
    return Err{IoError::custom(ErrorKind::InvalidData,
                               "Found reference to mini sector " + str(id) +
                                   ", but MiniFAT has only " + str(minifat_.size()) + " entries")};
  }
  const uint32_t v = minifat_[id];
  if (v == ENDOFCHAIN || (v <= MAXREGSECT && v < minifat_.size())) return v;
  return Err{IoError::custom(ErrorKind::InvalidData, "next_id (" + str(v) + ") is invalid")};
}

IoResult<void> MiniAllocator::set_minifat(uint32_t index, uint32_t value) {
  const Sectors& sectors = dir_.allocator().sectors();
  const size_t sl = sectors.sector_len();
  const uint64_t offset = uint64_t{index} * 4;
  const uint64_t length = uint64_t{minifat_chain_.size()} * sl;
  // allocate_mini_sector adds a MiniFAT sector before the entry that needs
  // it, so an entry never lies at or past the chain's end.
  if (offset >= length) return Err{cannot_seek(offset, length)};
  CV_TRY(sectors.check_sector(minifat_chain_[offset / sl]));
  if (index == minifat_.size()) {
    minifat_.push_back(value);
  } else {
    minifat_[index] = value;
  }
  if (value == FREESECT && index < free_hint_) free_hint_ = index;
  if (dirty_lo_ == dirty_hi_) {
    dirty_lo_ = index;
    dirty_hi_ = size_t{index} + 1;
  } else {
    dirty_lo_ = std::min<size_t>(dirty_lo_, index);
    dirty_hi_ = std::max<size_t>(dirty_hi_, size_t{index} + 1);
  }
  return {};
}

IoResult<void> MiniAllocator::grow_minifat() {
  Allocator& alloc = dir_.allocator();
  const size_t per_sector = alloc.entries_per_sector();
  // A new MiniFAT sector is written whole at commit: its entries, then
  // FREESECT, as the FAT fill would leave it.
  if (minifat_start_ == ENDOFCHAIN) {
    CV_TRY_ASSIGN(const uint32_t s, alloc.allocate_unfilled());
    minifat_start_ = s;
    minifat_chain_.push_back(s);
    Header& header = alloc.sectors().header_mut();
    header.first_minifat_sector = s;
    header.num_minifat_sectors = 1;
  } else if (minifat_.size() % per_sector == 0) {
    CV_TRY_ASSIGN(const uint32_t s, alloc.allocate_unfilled());
    CV_TRY(alloc.set_fat(minifat_chain_.back(), s));
    minifat_chain_.push_back(s);
    alloc.sectors().header_mut().num_minifat_sectors = static_cast<uint32_t>(minifat_chain_.size());
  }
  return {};
}

IoResult<void> MiniAllocator::grow_mini_stream() {
  Allocator& alloc = dir_.allocator();
  DirEntry& root = dir_.entry_mut(0);
  uint32_t start = root.start_sector;
  if (start == ENDOFCHAIN) {
    CV_TRY_ASSIGN(start, alloc.allocate_sector(SectorFill::kZero));
    stream_chain_.push_back(start);
  } else if (root.stream_size % alloc.sectors().sector_len() == 0) {
    // The chain's real end, which after a trim may lie past the size.
    CV_TRY_ASSIGN(const uint32_t id, alloc.allocate_sector(SectorFill::kZero));
    CV_TRY(alloc.set_fat(stream_chain_.back(), id));
    stream_chain_.push_back(id);
  }
  root.start_sector = start;
  root.stream_size += kMiniSectorLen;
  dir_.mark_dirty(0);
  return {};
}

IoResult<uint32_t> MiniAllocator::allocate_mini_sector(uint32_t value) {
  while (free_hint_ < minifat_.size() && minifat_[free_hint_] != FREESECT) ++free_hint_;
  if (free_hint_ < minifat_.size()) {
    const auto k = static_cast<uint32_t>(free_hint_);
    CV_TRY(set_minifat(k, value));
    return k;
  }
  CV_TRY(grow_minifat());
  const auto k = static_cast<uint32_t>(minifat_.size());
  CV_TRY(set_minifat(k, value));
  CV_TRY(grow_mini_stream());
  return k;
}

IoResult<void> MiniAllocator::free_mini_chain(uint32_t start) {
  uint32_t id = start;
  while (id != ENDOFCHAIN) {
    const uint32_t next = minifat_[id];
    CV_TRY(set_minifat(id, FREESECT));
    DirEntry& root = dir_.entry_mut(0);
    uint64_t size = root.stream_size;
    while (!minifat_.empty() && minifat_.back() == FREESECT) {
      minifat_.pop_back();
      size -= kMiniSectorLen;
    }
    free_hint_ = std::min(free_hint_, minifat_.size());
    if (size != root.stream_size) {
      root.stream_size = size;
      dir_.mark_dirty(0);
    }
    id = next;
  }
  return {};
}

IoResult<uint64_t> MiniAllocator::mini_sector_offset(uint32_t id) const {
  const Sectors& sectors = dir_.allocator().sectors();
  const size_t per = sectors.sector_len() / kMiniSectorLen;
  const size_t k = id / per;
  if (k >= stream_chain_.size()) {
    return Err{IoError::custom(ErrorKind::InvalidData, "invalid sector id")};
  }
  CV_TRY(sectors.check_sector(stream_chain_[k]));
  return sectors.sector_offset(stream_chain_[k]) + kMiniSectorLen * (id % per);
}

IoResult<void> MiniAllocator::commit() {
  Sectors& sectors = dir_.allocator().sectors();
  const size_t e = sectors.sector_len() / 4;
  if (dirty_lo_ != dirty_hi_) {
    for (size_t k = dirty_lo_ / e; k * e < dirty_hi_; ++k) {
      CV_TRY(sectors.stage_sector(*this, minifat_chain_[k]));
    }
  }
  sectors.offer(*this);
  CV_TRY(dir_.commit());
  dirty_lo_ = dirty_hi_ = 0;
  return {};
}

size_t MiniAllocator::produce(uint64_t offset, std::span<uint8_t> out) const {
  const Sectors& sectors = dir_.allocator().sectors();
  const uint32_t id = sectors.sector_at(offset);
  const auto it = std::find(minifat_chain_.begin(), minifat_chain_.end(), id);
  if (id == FREESECT || it == minifat_chain_.end()) return 0;
  const size_t e = sectors.sector_len() / 4;
  const size_t first = static_cast<size_t>(it - minifat_chain_.begin()) * e;
  uint8_t sector[sector_len_of(Version::V4)];
  for (size_t i = 0; i < e; ++i) {
    // Entries past the end were freed and trimmed, or never used: FREESECT.
    store_u32le(sector + 4 * i, first + i < minifat_.size() ? minifat_[first + i] : FREESECT);
  }
  const size_t in = static_cast<size_t>(offset - sectors.sector_offset(id));
  const size_t n = std::min(out.size(), sectors.sector_len() - in);
  std::copy_n(sector + in, n, out.begin());
  return n;
}

}  // namespace cellvault::cfb::internal
