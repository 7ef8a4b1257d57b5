#include "cfb/internal/sector.h"

#include <algorithm>
#include <string>

namespace cellvault::cfb::internal {

IoResult<void> SectorWriter::write_all(ByteView data) {
  const size_t room = limit_ > position_ ? limit_ - position_ : 0;
  const size_t n = std::min(room, data.size());
  if (n > 0) {
    CV_TRY(file_->write_at(data.first(n), base_ + position_));
    position_ += n;
  }
  if (n < data.size()) {
    return Err{IoError::custom(ErrorKind::WriteZero, std::string(kWriteZeroMessage))};
  }
  return {};
}

namespace {

// The bytes of an unallocated directory entry: an empty name, name length
// 2, type 0, colour 0, three NOSTREAM links, and zeros for the rest.
void add_unallocated_entry(std::vector<uint8_t>& out) {
  out.insert(out.end(), 64, 0);
  add_u16le(out, 2);
  out.push_back(0);
  out.push_back(0);
  for (int i = 0; i < 3; ++i) add_u32le(out, 0xFFFFFFFF);
  out.insert(out.end(), 48, 0);
}

}  // namespace

Sectors::Sectors(File file, Header header, uint32_t sector_count)
    : file_(std::move(file)),
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
  for (size_t i = 0; i < sector_len_ / 128; ++i) add_unallocated_entry(dir);
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
  return file_.write_at(fill_bytes(fill), sector_offset(id));
}

IoResult<SectorWriter> Sectors::seek_within_sector(uint32_t id, size_t offset) {
  CV_TRY(check_sector(id));
  return SectorWriter(file_, sector_offset(id), sector_len_, offset);
}

IoResult<void> Sectors::write_run(uint32_t first, size_t offset, ByteView data) {
  CV_TRY(check_sector(first));
  const uint64_t span = offset + data.size();
  const uint64_t sectors = (span + sector_len_ - 1) / sector_len_;
  if (sectors > 1) CV_TRY(check_sector(static_cast<uint32_t>(first + sectors - 1)));
  return file_.write_at(data, sector_offset(first) + offset);
}

ByteView Sectors::fill_bytes(SectorFill fill) const {
  return fills_[static_cast<int>(fill)];
}

IoResult<void> Sectors::commit_header() {
  if (!header_dirty_) return {};
  CV_TRY(header_.write_to(file_));
  header_dirty_ = false;
  return {};
}

}  // namespace cellvault::cfb::internal
