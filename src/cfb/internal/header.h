// The 512-byte compound file header and the special sector id values.
//
// On-disk layout ([MS-CFB] 2.2), little-endian:
//   0x00 signature D0 CF 11 E0 A1 B1 1A E1   0x08 class id (16 zero bytes)
//   0x18 minor version 0x003E                0x1A major version 3 or 4
//   0x1C byte order mark 0xFFFE              0x1E sector shift 9 or 12
//   0x20 mini sector shift 6                 0x22 6 reserved zero bytes
//   0x28 number of directory sectors         0x2C number of FAT sectors
//   0x30 first directory sector              0x34 transaction signature 0
//   0x38 mini stream cutoff 4096             0x3C first MiniFAT sector
//   0x40 number of MiniFAT sectors           0x44 first DIFAT sector
//   0x48 number of DIFAT sectors             0x4C 109 DIFAT entries

#ifndef CELLVAULT_CFB_INTERNAL_HEADER_H_
#define CELLVAULT_CFB_INTERNAL_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cfb/version.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault::cfb::internal {

// Special sector ids ([MS-CFB] 2.1). Every value up to MAXREGSECT is the id
// of a regular sector.
inline constexpr uint32_t FREESECT = 0xFFFFFFFF;
inline constexpr uint32_t ENDOFCHAIN = 0xFFFFFFFE;
inline constexpr uint32_t FATSECT = 0xFFFFFFFD;
inline constexpr uint32_t DIFSECT = 0xFFFFFFFC;
inline constexpr uint32_t kInvalidFatEntry = 0xFFFFFFFB;
inline constexpr uint32_t MAXREGSECT = 0xFFFFFFFA;

inline constexpr size_t kHeaderLen = 512;
inline constexpr size_t kHeaderDifatEntries = 109;
inline constexpr size_t kOffsetDirSectors = 0x28;
inline constexpr size_t kOffsetFatSectors = 0x2C;
inline constexpr size_t kOffsetFirstDirSector = 0x30;
inline constexpr size_t kOffsetFirstMiniFatSector = 0x3C;
inline constexpr size_t kOffsetMiniFatSectors = 0x40;
inline constexpr size_t kOffsetFirstDifatSector = 0x44;
inline constexpr size_t kOffsetDifatSectors = 0x48;
inline constexpr size_t kOffsetDifat = 0x4C;
static_assert(kOffsetDifat + 4 * kHeaderDifatEntries == kHeaderLen);

inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr size_t kMiniSectorLen = 64;
// The longest stream that a version 3 file may hold ([MS-CFB] 2.6.3).
inline constexpr uint64_t kMaxStreamLenV3 = 0x80000000;

// sector_len_of gives the sector size of |version|: 512 bytes for version 3,
// 4096 for version 4.
inline constexpr size_t sector_len_of(Version version) {
  return size_t{1} << (9 + 3 * (version == Version::V4 ? 1 : 0));
}

// Header holds the fields that the writer sets; the rest are constants.
struct Header {
  Version version = Version::V4;
  uint32_t num_dir_sectors = 0;
  uint32_t num_fat_sectors = 0;
  uint32_t first_dir_sector = ENDOFCHAIN;
  uint32_t first_minifat_sector = ENDOFCHAIN;
  uint32_t num_minifat_sectors = 0;
  uint32_t first_difat_sector = ENDOFCHAIN;
  uint32_t num_difat_sectors = 0;
  std::array<uint32_t, kHeaderDifatEntries> difat;

  Header() { difat.fill(FREESECT); }

  // encode writes the 512 header bytes into |out|.
  void encode(std::span<uint8_t, kHeaderLen> out) const;

  // write_to writes the 512 header bytes at offset 0 of |file| with one
  // write. Returns the write's error.
  IoResult<void> write_to(File& file) const;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_HEADER_H_
