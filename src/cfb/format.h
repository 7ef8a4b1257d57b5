// The compound file format ([MS-CFB]) as cellvault lays it out: sizes,
// special sector ids, the header's fields, the directory entry's fields and
// the layout of a new file. The writer takes every such fact from here, and
// so can a reader of the files it writes.
//
// A file is the header block (the 512-byte header, then zeros up to one
// sector) followed by sectors: sector n starts at (n + 1) * sector_len.
//
// Header, 512 bytes at offset 0, little-endian:
//   0x00 signature D0 CF 11 E0 A1 B1 1A E1   0x08 class id (16 zero bytes)
//   0x18 minor version 0x003E                0x1A major version 3 or 4
//   0x1C byte order mark 0xFFFE              0x1E sector shift 9 or 12
//   0x20 mini sector shift 6                 0x22 6 reserved zero bytes
//   0x28 number of directory sectors         0x2C number of FAT sectors
//   0x30 first directory sector              0x34 transaction signature 0
//   0x38 mini stream cutoff 4096             0x3C first MiniFAT sector
//   0x40 number of MiniFAT sectors           0x44 first DIFAT sector
//   0x48 number of DIFAT sectors             0x4C 109 DIFAT entries
//
// Directory entry, 128 bytes, little-endian:
//    0  64  name, UTF-16 code units, zero-padded to 32 units
//   64   2  name length in bytes including the zero unit: 2 * units + 2
//   66   1  object type            67   1  colour (0 red, 1 black)
//   68   4  left sibling           72   4  right sibling    76  4  child
//   80  16  class id               96   4  state bits
//  100   8  creation time         108   8  modification time
//  116   4  start sector          120   8  stream size

#ifndef CELLVAULT_CFB_FORMAT_H_
#define CELLVAULT_CFB_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "cfb/version.h"
#include "common/bytes.h"

namespace cellvault::cfb {

// Sector sizes: 512 bytes in version 3, 4096 in version 4; mini sectors of
// 64 bytes hold the streams shorter than the cutoff.
constexpr uint16_t sector_shift(Version version) { return version == Version::V4 ? 12 : 9; }
constexpr size_t sector_len_of(Version version) { return size_t{1} << sector_shift(version); }
inline constexpr uint16_t kMiniSectorShift = 6;
inline constexpr size_t kMiniSectorLen = size_t{1} << kMiniSectorShift;
inline constexpr uint32_t kMiniStreamCutoff = 4096;
// The longest stream that a version 3 file may hold ([MS-CFB] 2.6.3).
inline constexpr uint64_t kMaxStreamLenV3 = 0x80000000;

// Special sector ids ([MS-CFB] 2.1). Every value up to MAXREGSECT is the id
// of a regular sector; mini sector ids use the same values.
inline constexpr uint32_t FREESECT = 0xFFFFFFFF;
inline constexpr uint32_t ENDOFCHAIN = 0xFFFFFFFE;
inline constexpr uint32_t FATSECT = 0xFFFFFFFD;
inline constexpr uint32_t DIFSECT = 0xFFFFFFFC;
inline constexpr uint32_t kInvalidFatEntry = 0xFFFFFFFB;
inline constexpr uint32_t MAXREGSECT = 0xFFFFFFFA;

// The header's constant fields and the offsets of all of them.
inline constexpr size_t kHeaderLen = 512;
inline constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                      0xA1, 0xB1, 0x1A, 0xE1};
inline constexpr uint16_t kMinorVersion = 0x003E;
inline constexpr uint16_t kByteOrderMark = 0xFFFE;
inline constexpr size_t kOffsetSignature = 0x00;
inline constexpr size_t kOffsetClassId = 0x08;
inline constexpr size_t kOffsetMinorVersion = 0x18;
inline constexpr size_t kOffsetMajorVersion = 0x1A;
inline constexpr size_t kOffsetByteOrder = 0x1C;
inline constexpr size_t kOffsetSectorShift = 0x1E;
inline constexpr size_t kOffsetMiniSectorShift = 0x20;
inline constexpr size_t kOffsetDirSectors = 0x28;
inline constexpr size_t kOffsetFatSectors = 0x2C;
inline constexpr size_t kOffsetFirstDirSector = 0x30;
inline constexpr size_t kOffsetTransaction = 0x34;
inline constexpr size_t kOffsetMiniStreamCutoff = 0x38;
inline constexpr size_t kOffsetFirstMiniFatSector = 0x3C;
inline constexpr size_t kOffsetMiniFatSectors = 0x40;
inline constexpr size_t kOffsetFirstDifatSector = 0x44;
inline constexpr size_t kOffsetDifatSectors = 0x48;
inline constexpr size_t kOffsetDifat = 0x4C;
// The header lists the first 109 FAT sectors; DIFAT sectors list the rest.
inline constexpr size_t kHeaderDifatEntries = 109;
static_assert(kOffsetDifat + 4 * kHeaderDifatEntries == kHeaderLen);

// recorded_dir_sectors is the header's number of directory sectors for a
// directory chain of |chain_len| sectors: version 4 files count them,
// version 3 files must record 0.
constexpr uint32_t recorded_dir_sectors(Version version, uint32_t chain_len) {
  return version == Version::V4 ? chain_len : 0;
}

// The directory entry's fields.
inline constexpr size_t kDirEntryLen = 128;
inline constexpr size_t kEntryName = 0;
inline constexpr size_t kEntryNameFieldLen = 64;
inline constexpr size_t kEntryNameLength = 64;
inline constexpr size_t kEntryObjType = 66;
inline constexpr size_t kEntryColor = 67;
inline constexpr size_t kEntryLeftSibling = 68;
inline constexpr size_t kEntryRightSibling = 72;
inline constexpr size_t kEntryChild = 76;
inline constexpr size_t kEntryClassId = 80;
inline constexpr size_t kEntryStateBits = 96;
inline constexpr size_t kEntryCreationTime = 100;
inline constexpr size_t kEntryModifiedTime = 108;
inline constexpr size_t kEntryStartSector = 116;
inline constexpr size_t kEntryStreamSize = 120;
static_assert(kEntryStreamSize + 8 == kDirEntryLen);
// The longest name that fits the name field with its terminating zero unit.
inline constexpr size_t kMaxNameUnits = kEntryNameFieldLen / 2 - 1;
// A link field that points nowhere.
inline constexpr uint32_t NOSTREAM = 0xFFFFFFFF;

// ObjType's values are the bytes at kEntryObjType.
enum class ObjType : uint8_t {
  kUnallocated = 0,
  kStorage = 1,
  kStream = 2,
  kRoot = 5,
};

// Color's values are the bytes at kEntryColor.
enum class Color : uint8_t { kRed = 0, kBlack = 1 };

// An unallocated entry: an empty name (length 2, its zero unit), type 0,
// colour 0, three NOSTREAM links and zeros for the rest. Every directory
// sector is filled with these before entries are written into it.
constexpr std::array<uint8_t, kDirEntryLen> unallocated_dir_entry() {
  std::array<uint8_t, kDirEntryLen> e{};
  store_u16le(e.data() + kEntryNameLength, 2);
  store_u32le(e.data() + kEntryLeftSibling, NOSTREAM);
  store_u32le(e.data() + kEntryRightSibling, NOSTREAM);
  store_u32le(e.data() + kEntryChild, NOSTREAM);
  return e;
}
inline constexpr std::array<uint8_t, kDirEntryLen> kUnallocatedDirEntry = unallocated_dir_entry();

// A new file: the header block, then FAT sector 0 at id 0 (the only FAT
// sector: FATSECT for itself, ENDOFCHAIN for the directory, the rest free)
// and the directory's one sector at id 1, holding the root entry.
inline constexpr uint32_t kNewFileFatSector = 0;
inline constexpr uint32_t kNewFileDirSector = 1;
inline constexpr uint32_t kNewFileSectorCount = 2;
inline constexpr std::array<uint32_t, kNewFileSectorCount> kNewFileFat = {FATSECT, ENDOFCHAIN};
static_assert(kNewFileFat[kNewFileFatSector] == FATSECT && kNewFileFat[kNewFileDirSector] == ENDOFCHAIN);

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_FORMAT_H_
