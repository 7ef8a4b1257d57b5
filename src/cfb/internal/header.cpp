#include "cfb/internal/header.h"

#include <cstring>

#include "common/bytes.h"

namespace cellvault::cfb::internal {

void Header::encode(std::span<uint8_t, kHeaderLen> span) const {
  uint8_t* out = span.data();
  static constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0,
                                            0xA1, 0xB1, 0x1A, 0xE1};
  std::memset(out, 0, kHeaderLen);
  std::memcpy(out, kSignature, sizeof(kSignature));
  // 0x08: the class id stays zero.
  store_u16le(out + 0x18, 0x003E);
  store_u16le(out + 0x1A, static_cast<uint16_t>(version));
  store_u16le(out + 0x1C, 0xFFFE);
  store_u16le(out + 0x1E, version == Version::V4 ? 12 : 9);
  store_u16le(out + 0x20, 6);
  // 0x22: six reserved zero bytes.
  store_u32le(out + kOffsetDirSectors, num_dir_sectors);
  store_u32le(out + kOffsetFatSectors, num_fat_sectors);
  store_u32le(out + kOffsetFirstDirSector, first_dir_sector);
  // 0x34: transaction signature 0.
  store_u32le(out + 0x38, kMiniStreamCutoff);
  store_u32le(out + kOffsetFirstMiniFatSector, first_minifat_sector);
  store_u32le(out + kOffsetMiniFatSectors, num_minifat_sectors);
  store_u32le(out + kOffsetFirstDifatSector, first_difat_sector);
  store_u32le(out + kOffsetDifatSectors, num_difat_sectors);
  for (size_t i = 0; i < kHeaderDifatEntries; ++i) {
    store_u32le(out + kOffsetDifat + 4 * i, difat[i]);
  }
}

IoResult<void> Header::write_to(File& file) const {
  uint8_t bytes[kHeaderLen];
  encode(bytes);
  return file.write_at(ByteView(bytes, sizeof(bytes)), 0);
}

}  // namespace cellvault::cfb::internal
