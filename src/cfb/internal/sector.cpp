#include "cfb/internal/sector.h"

#include <algorithm>
#include <string>

namespace cellvault::cfb::internal {

Sectors::Sectors(File& file, Header header, uint32_t sector_count)
    : batch_(file),
      header_(header),
      sector_count_(sector_count),
      sector_len_(sector_len_of(header.version)) {
  const size_t entries = sector_len_ / 4;
  fills_[static_cast<int>(SectorFill::kZero)].assign(sector_len_, 0);
  auto& fat = fills_[static_cast<int>(SectorFill::kFat)];
  for (size_t i = 0; i < entries; ++i) add_u32le(fat, FREESECT);
  auto& difat = fills_[static_cast<int>(SectorFill::kDifat)];
  for (size_t i = 0; i + 1 < entries; ++i) add_u32le(difat, FREESECT);
  add_u32le(difat, ENDOFCHAIN);
  auto& dir = fills_[static_cast<int>(SectorFill::kDirectory)];
  for (size_t i = 0; i < sector_len_ / kDirEntryLen; ++i) {
    dir.insert(dir.end(), kUnallocatedDirEntry.begin(), kUnallocatedDirEntry.end());
  }
}

IoResult<void> Sectors::check_sector(uint32_t id) const {
  if (id >= sector_count_) {
    return Err{IoError::custom(
        ErrorKind::InvalidData, "Tried to seek to sector " + std::to_string(id) +
                                    ", but sector count is only " +
                                    std::to_string(sector_count_))};
  }
  return {};
}

IoResult<void> Sectors::claim_sector(uint32_t id) {
  if (id > sector_count_) {
    return Err{IoError::custom(
        ErrorKind::InvalidData, "Tried to initialize sector " + std::to_string(id) +
                                    ", but sector count is only " +
                                    std::to_string(sector_count_))};
  }
  if (id == sector_count_) ++sector_count_;
  return {};
}

IoResult<void> Sectors::init_sector(uint32_t id, SectorFill fill) {
  CV_TRY(claim_sector(id));
  stage(sector_offset(id), fill_bytes(fill));
  return {};
}

ByteView Sectors::fill_bytes(SectorFill fill) const {
  return fills_[static_cast<int>(fill)];
}

size_t Sectors::produce(uint64_t offset, std::span<uint8_t> out) const {
  if (offset >= sector_len_) return 0;
  uint8_t block[sector_len_of(Version::V4)] = {};
  header_.encode(std::span<uint8_t, kHeaderLen>(block, kHeaderLen));
  const size_t n = std::min(out.size(), static_cast<size_t>(sector_len_ - offset));
  std::copy_n(block + offset, n, out.begin());
  return n;
}

IoResult<void> Sectors::commit() {
  if (header_dirty_) batch_.stage_from(*this, 0, sector_len_);
  batch_.offer(*this);
  CV_TRY(batch_.flush());
  header_dirty_ = false;
  return {};
}

}  // namespace cellvault::cfb::internal
