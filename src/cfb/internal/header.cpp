#include "cfb/internal/header.h"

#include <algorithm>

#include "common/bytes.h"

namespace cellvault::cfb::internal {

void Header::encode(std::span<uint8_t, kHeaderLen> span) const {
  uint8_t* out = span.data();
  // The class id, the reserved bytes and the transaction signature stay
  // zero.
  std::fill(span.begin(), span.end(), 0);
  std::copy(kSignature.begin(), kSignature.end(), out + kOffsetSignature);
  store_u16le(out + kOffsetMinorVersion, kMinorVersion);
  store_u16le(out + kOffsetMajorVersion, static_cast<uint16_t>(version));
  store_u16le(out + kOffsetByteOrder, kByteOrderMark);
  store_u16le(out + kOffsetSectorShift, sector_shift(version));
  store_u16le(out + kOffsetMiniSectorShift, kMiniSectorShift);
  store_u32le(out + kOffsetDirSectors, num_dir_sectors);
  store_u32le(out + kOffsetFatSectors, num_fat_sectors);
  store_u32le(out + kOffsetFirstDirSector, first_dir_sector);
  store_u32le(out + kOffsetMiniStreamCutoff, kMiniStreamCutoff);
  store_u32le(out + kOffsetFirstMiniFatSector, first_minifat_sector);
  store_u32le(out + kOffsetMiniFatSectors, num_minifat_sectors);
  store_u32le(out + kOffsetFirstDifatSector, first_difat_sector);
  store_u32le(out + kOffsetDifatSectors, num_difat_sectors);
  for (size_t i = 0; i < kHeaderDifatEntries; ++i) {
    store_u32le(out + kOffsetDifat + 4 * i, difat[i]);
  }
}

Header new_file_header(Version version) {
  Header header;
  header.version = version;
  header.num_dir_sectors = recorded_dir_sectors(version, 1);
  header.num_fat_sectors = 1;
  header.first_dir_sector = kNewFileDirSector;
  header.difat[0] = kNewFileFatSector;
  return header;
}

}  // namespace cellvault::cfb::internal
