#include "cfb/internal/alloc.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "cfb/internal/malformed.h"
#include "common/bytes.h"

namespace cellvault::cfb::internal {
namespace {

IoError malformed_fat(const std::string& detail) { return malformed("FAT", detail); }

// check_marked checks that every sector in |ids|, the list of the |kind|
// sectors ("FAT sector"), lies inside |fat| and is marked |mark| there.
IoResult<void> check_marked(const std::vector<uint32_t>& ids, const std::vector<uint32_t>& fat,
                            uint32_t mark, const std::string& kind) {
  for (uint32_t id : ids) {
    if (id >= fat.size()) {
      return Err{malformed_fat("FAT has " + str(fat.size()) + " entries, but DIFAT lists " +
                               str(id) + " as a " + kind)};
    }
    if (fat[id] != mark) {
      return Err{malformed_fat(kind + " " + str(id) + " is not marked as such in the FAT")};
    }
  }
  return {};
}

}  // namespace

Allocator::Allocator(Sectors sectors, std::vector<uint32_t> difat_sectors,
                     std::vector<uint32_t> fat_sectors, std::vector<uint32_t> fat)
    : sectors_(std::move(sectors)),
      difat_sectors_(std::move(difat_sectors)),
      fat_sectors_(std::move(fat_sectors)),
      fat_(std::move(fat)),
      fat_dirty_(fat_sectors_.size(), false),
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
  CV_TRY(check_marked(difat_sectors, fat, DIFSECT, "DIFAT sector"));
  CV_TRY(check_marked(fat_sectors, fat, FATSECT, "FAT sector"));
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

void Allocator::mark_dirty(size_t k) {
  if (fat_dirty_[k]) return;
  fat_dirty_[k] = true;
  dirty_fat_sectors_.push_back(static_cast<uint32_t>(k));
}

void Allocator::mark_all_unwritten() {
  for (size_t k = 0; k < fat_sectors_.size(); ++k) mark_dirty(k);
  std::fill(difat_dirty_.begin(), difat_dirty_.end(), true);
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
  mark_dirty(index / e);
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
  fat_dirty_.push_back(false);
  mark_dirty(k);
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

void Allocator::reserve(uint64_t count) {
  const size_t e = entries_per_sector();
  // One FAT sector per e - 1 new sectors, one DIFAT sector per e - 1 FAT
  // sectors: count / (e - 2) covers both.
  const uint64_t need = fat_.size() + count + count / (e - 2) + 4;
  if (need <= fat_.capacity()) return;
  // A long write grows the table once to its new length (with room for
  // the FAT and DIFAT sectors that come with it) instead of doubling it,
  // so it holds at most the old and the new table at once; short ones grow
  // it geometrically so that many of them stay linear.
  // A little slack lets the flushes that end a long write fit too.
  fat_.reserve(static_cast<size_t>(
      std::max<uint64_t>(need + need / 64 + 1024, fat_.capacity() + fat_.capacity() / 2)));
}

IoResult<void> Allocator::append_chain(uint32_t last, uint64_t count,
                                       std::vector<uint32_t>& ids) {
  const size_t e = entries_per_sector();
  while (count > 0) {
    while (free_hint_ < fat_.size() && fat_[free_hint_] != FREESECT) ++free_hint_;
    if (free_hint_ < fat_.size()) {
      // Free sectors are handed out one by one, lowest first.
      CV_TRY_ASSIGN(const uint32_t id, allocate_unfilled());
      if (last != ENDOFCHAIN) CV_TRY(set_fat(last, id));
      ids.push_back(id);
      last = id;
      --count;
      continue;
    }
    // No free sector: append a run up to the end of the last FAT sector.
    if (fat_.size() % e == 0) CV_TRY(add_fat_sector());
    const auto first = static_cast<uint32_t>(fat_.size());
    const auto take = static_cast<uint32_t>(std::min<uint64_t>(count, e - first % e));
    if (last != ENDOFCHAIN) CV_TRY(set_fat(last, first));
    CV_TRY(sectors_.claim_sector(first));
    sectors_.claim_sectors(take - 1);
    for (uint32_t j = 0; j < take; ++j) {
      fat_.push_back(j + 1 < take ? first + j + 1 : ENDOFCHAIN);
      ids.push_back(first + j);
    }
    mark_dirty(first / e);
    free_hint_ = fat_.size();
    last = first + take - 1;
    count -= take;
  }
  return {};
}

IoResult<void> Allocator::free_chain(uint32_t start) {
  uint32_t id = start;
  while (id != ENDOFCHAIN) {
    CV_TRY_ASSIGN(const uint32_t next_id, next(id));
    CV_TRY(set_fat(id, FREESECT));
    id = next_id;
  }
  return {};
}

void Allocator::encode_fat(size_t k, std::span<uint8_t> out) const {
  uint8_t* p = out.data();
  const size_t first = k * entries_per_sector();
  for (size_t i = first; i < first + entries_per_sector(); ++i, p += 4) {
    // Entries past the FAT's end are free, as the FAT fill left them.
    store_u32le(p, i < fat_.size() ? fat_[i] : FREESECT);
  }
}

void Allocator::encode_difat(size_t d, std::span<uint8_t> out) const {
  const size_t e = entries_per_sector();
  uint8_t* p = out.data();
  const size_t first = kHeaderDifatEntries + d * (e - 1);
  for (size_t j = 0; j + 1 < e; ++j, p += 4) {
    store_u32le(p, first + j < fat_sectors_.size() ? fat_sectors_[first + j] : FREESECT);
  }
  store_u32le(p, d + 1 < difat_sectors_.size() ? difat_sectors_[d + 1] : ENDOFCHAIN);
}

namespace {

// index_of finds |id| in |ids|, which grow at the end with increasing ids
// in every file of this writer.
std::optional<size_t> index_of(const std::vector<uint32_t>& ids, uint32_t id) {
  auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it == ids.end() || *it != id) it = std::find(ids.begin(), ids.end(), id);
  if (it == ids.end()) return std::nullopt;
  return static_cast<size_t>(it - ids.begin());
}

}  // namespace

size_t Allocator::produce(uint64_t offset, std::span<uint8_t> out) const {
  const uint32_t id = sectors_.sector_at(offset);
  if (id >= fat_.size() || (fat_[id] != FATSECT && fat_[id] != DIFSECT)) return 0;
  const std::optional<size_t> k = index_of(fat_[id] == FATSECT ? fat_sectors_ : difat_sectors_, id);
  if (!k) return 0;
  uint8_t sector[sector_len_of(Version::V4)];
  const size_t sl = sectors_.sector_len();
  if (fat_[id] == FATSECT) {
    encode_fat(*k, std::span<uint8_t>(sector, sl));
  } else {
    encode_difat(*k, std::span<uint8_t>(sector, sl));
  }
  const size_t in = static_cast<size_t>(offset - sectors_.sector_offset(id));
  const size_t n = std::min(out.size(), sl - in);
  std::copy_n(sector + in, n, out.begin());
  return n;
}

IoResult<void> Allocator::commit() {
  for (const uint32_t k : dirty_fat_sectors_) CV_TRY(sectors_.stage_sector(*this, fat_sectors_[k]));
  for (size_t d = 0; d < difat_sectors_.size(); ++d) {
    if (difat_dirty_[d]) CV_TRY(sectors_.stage_sector(*this, difat_sectors_[d]));
  }
  // Clean FAT sectors may bridge the gaps between the runs of a write.
  sectors_.offer(*this);
  CV_TRY(sectors_.commit());
  for (const uint32_t k : dirty_fat_sectors_) fat_dirty_[k] = false;
  dirty_fat_sectors_.clear();
  std::fill(difat_dirty_.begin(), difat_dirty_.end(), false);
  return {};
}

}  // namespace cellvault::cfb::internal
