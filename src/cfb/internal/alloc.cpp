#include "cfb/internal/alloc.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/bytes.h"

namespace cellvault::cfb::internal {
namespace {

IoError malformed_fat(const std::string& detail) {
  return IoError::custom(ErrorKind::InvalidData, "Malformed FAT (" + detail + ")");
}

std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace

Allocator::Allocator(Sectors sectors, std::vector<uint32_t> difat_sectors,
                     std::vector<uint32_t> fat_sectors, std::vector<uint32_t> fat)
    : sectors_(std::move(sectors)),
      difat_sectors_(std::move(difat_sectors)),
      fat_sectors_(std::move(fat_sectors)),
      fat_(std::move(fat)),
      difat_dirty_(difat_sectors_.size(), false) {}

IoResult<Allocator> Allocator::create(Sectors sectors,
                                      std::vector<uint32_t> difat_sectors,
                                      std::vector<uint32_t> fat_sectors,
                                      std::vector<uint32_t> fat) {
  const size_t entries = fat.size();
  if (entries > sectors.sector_count()) {
    return Err{malformed_fat("FAT has " + str(entries) + " entries, but file has only " +
                             str(sectors.sector_count()) + " sectors")};
  }
  for (uint32_t id : difat_sectors) {
    if (id >= entries) {
      return Err{malformed_fat("FAT has " + str(entries) + " entries, but DIFAT lists " +
                               str(id) + " as a DIFAT sector")};
    }
    if (fat[id] != DIFSECT) {
      return Err{malformed_fat("DIFAT sector " + str(id) + " is not marked as such in the FAT")};
    }
  }
  for (uint32_t id : fat_sectors) {
    if (id >= entries) {
      return Err{malformed_fat("FAT has " + str(entries) + " entries, but DIFAT lists " +
                               str(id) + " as a FAT sector")};
    }
    if (fat[id] != FATSECT) {
      return Err{malformed_fat("FAT sector " + str(id) + " is not marked as such in the FAT")};
    }
  }
  std::vector<bool> pointed(entries, false);
  for (size_t n = 0; n < entries; ++n) {
    const uint32_t v = fat[n];
    if (v <= MAXREGSECT) {
      if (v >= entries) {
        return Err{malformed_fat("FAT has " + str(entries) + " entries, but sector " + str(n) +
                                 " points to " + str(v))};
      }
      if (pointed[v]) return Err{malformed_fat("sector " + str(v) + " pointed to twice")};
      pointed[v] = true;
    } else if (v == kInvalidFatEntry) {
      char hex[16];
      std::snprintf(hex, sizeof(hex), "0x%08X", v);
      return Err{malformed_fat(std::string(hex) + " is not a valid FAT entry")};
    }
  }
  return Allocator(std::move(sectors), std::move(difat_sectors), std::move(fat_sectors),
                   std::move(fat));
}

IoResult<uint32_t> Allocator::next(uint32_t id) const {
  if (id >= fat_.size()) {
    return Err{IoError::custom(ErrorKind::InvalidData,
                               "Found reference to sector " + str(id) + ", but FAT has only " +
                                   str(fat_.size()) + " entries")};
  }
  const uint32_t v = fat_[id];
  if (v == ENDOFCHAIN || (v <= MAXREGSECT && v < fat_.size())) return v;
  return Err{IoError::custom(ErrorKind::InvalidData, "next_id (" + str(v) + ") is invalid")};
}

void Allocator::mark_dirty(size_t lo, size_t hi) {
  if (dirty_lo_ == dirty_hi_) {
    dirty_lo_ = lo;
    dirty_hi_ = hi;
  } else {
    dirty_lo_ = std::min(dirty_lo_, lo);
    dirty_hi_ = std::max(dirty_hi_, hi);
  }
}

IoResult<void> Allocator::set_fat(uint32_t index, uint32_t value) {
  const size_t e = entries_per_sector();
  // Every caller sets only entries that an existing FAT sector covers.
  CV_TRY(sectors_.check_sector(fat_sectors_.at(index / e)));
  if (index == fat_.size()) {
    fat_.push_back(value);
  } else {
    fat_[index] = value;
  }
  if (value == FREESECT && index < free_hint_) free_hint_ = index;
  mark_dirty(index, size_t{index} + 1);
  return {};
}

IoResult<void> Allocator::add_fat_sector() {
  const size_t e = entries_per_sector();
  const auto f = static_cast<uint32_t>(fat_.size());
  // The new FAT sector is written whole from memory at commit; entries
  // beyond the FAT's end read FREESECT there, as the FAT fill gives.
  CV_TRY(sectors_.claim_sector(f));
  const size_t k = fat_sectors_.size();
  fat_sectors_.push_back(f);
  mark_dirty(k * e, (k + 1) * e);
  CV_TRY(set_fat(f, FATSECT));
  Header& header = sectors_.header_mut();
  if (k < kHeaderDifatEntries) {
    header.difat[k] = f;
  } else {
    const size_t d = (k - kHeaderDifatEntries) / (e - 1);
    if (d >= difat_sectors_.size()) {
      const auto g = static_cast<uint32_t>(fat_.size());
      CV_TRY(sectors_.claim_sector(g));
      CV_TRY(set_fat(g, DIFSECT));
      // The previous DIFAT sector's link changes to g.
      if (!difat_sectors_.empty()) difat_dirty_.back() = true;
      difat_sectors_.push_back(g);
      difat_dirty_.push_back(true);
      header.first_difat_sector = difat_sectors_.front();
      header.num_difat_sectors = static_cast<uint32_t>(difat_sectors_.size());
    }
    difat_dirty_[d] = true;
  }
  header.num_fat_sectors = static_cast<uint32_t>(fat_sectors_.size());
  return {};
}

IoResult<uint32_t> Allocator::allocate(SectorFill fill, bool write_fill) {
  while (free_hint_ < fat_.size() && fat_[free_hint_] != FREESECT) ++free_hint_;
  uint32_t n;
  if (free_hint_ < fat_.size()) {
    n = static_cast<uint32_t>(free_hint_);
  } else {
    if (fat_.size() % entries_per_sector() == 0) CV_TRY(add_fat_sector());
    n = static_cast<uint32_t>(fat_.size());
  }
  CV_TRY(set_fat(n, ENDOFCHAIN));
  if (write_fill) {
    CV_TRY(sectors_.init_sector(n, fill));
  } else {
    CV_TRY(sectors_.claim_sector(n));
  }
  return n;
}

IoResult<uint32_t> Allocator::allocate_sector(SectorFill fill) { return allocate(fill, true); }

IoResult<uint32_t> Allocator::allocate_unfilled() { return allocate(SectorFill::kZero, false); }

IoResult<uint32_t> Allocator::extend_chain(uint32_t start, SectorFill fill) {
  uint32_t last = start;
  for (;;) {
    const uint32_t next_id = CV_TRY(next(last));
    if (next_id == ENDOFCHAIN) break;
    last = next_id;
  }
  const uint32_t id = CV_TRY(allocate_sector(fill));
  CV_TRY(set_fat(last, id));
  return id;
}

IoResult<void> Allocator::free_chain(uint32_t start) {
  uint32_t id = start;
  while (id != ENDOFCHAIN) {
    const uint32_t next_id = CV_TRY(next(id));
    CV_TRY(set_fat(id, FREESECT));
    id = next_id;
  }
  return {};
}

IoResult<void> Allocator::commit_fat() {
  if (dirty_lo_ == dirty_hi_) return {};
  const size_t e = entries_per_sector();
  Bytes buf;
  buf.reserve(sectors_.sector_len());
  for (size_t k = dirty_lo_ / e; k * e < dirty_hi_; ++k) {
    const size_t a = std::max(dirty_lo_, k * e);
    const size_t b = std::min(dirty_hi_, (k + 1) * e);
    buf.clear();
    for (size_t i = a; i < b; ++i) add_u32le(buf, i < fat_.size() ? fat_[i] : FREESECT);
    CV_TRY(sectors_.write_run(fat_sectors_[k], 4 * (a - k * e), buf));
  }
  dirty_lo_ = dirty_hi_ = 0;
  return {};
}

IoResult<void> Allocator::commit_difat() {
  const size_t e = entries_per_sector();
  Bytes buf;
  for (size_t d = 0; d < difat_sectors_.size(); ++d) {
    if (!difat_dirty_[d]) continue;
    buf.clear();
    const size_t first = kHeaderDifatEntries + d * (e - 1);
    for (size_t j = 0; j + 1 < e; ++j) {
      add_u32le(buf, first + j < fat_sectors_.size() ? fat_sectors_[first + j] : FREESECT);
    }
    add_u32le(buf, d + 1 < difat_sectors_.size() ? difat_sectors_[d + 1] : ENDOFCHAIN);
    CV_TRY(sectors_.write_run(difat_sectors_[d], 0, buf));
    difat_dirty_[d] = false;
  }
  return {};
}

IoResult<void> Allocator::commit() {
  CV_TRY(commit_fat());
  CV_TRY(commit_difat());
  return sectors_.commit_header();
}

}  // namespace cellvault::cfb::internal
