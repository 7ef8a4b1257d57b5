// One 128-byte directory entry ([MS-CFB] 2.6), little-endian:
//    0  64  name, UTF-16 code units, zero-padded to 32 units
//   64   2  name length in bytes including the zero unit: 2 * units + 2
//   66   1  object type            67   1  colour (0 red, 1 black)
//   68   4  left sibling           72   4  right sibling    76  4  child
//   80  16  class id               96   4  state bits
//  100   8  creation time         108   8  modification time
//  116   4  start sector          120   8  stream size

#ifndef CELLVAULT_CFB_INTERNAL_DIRENTRY_H_
#define CELLVAULT_CFB_INTERNAL_DIRENTRY_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cfb/internal/objtype.h"
#include "cfb/internal/sector.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

inline constexpr size_t kDirEntryLen = 128;
inline constexpr uint32_t NOSTREAM = 0xFFFFFFFF;
inline constexpr size_t kOffsetLeftSibling = 68;
inline constexpr size_t kOffsetRightSibling = 72;
inline constexpr size_t kOffsetChild = 76;

enum class Color : uint8_t { kRed = 0, kBlack = 1 };

// Guid is a class id; the nil GUID is all zero.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};

struct DirEntry {
  std::string name;  // UTF-8, at most 31 UTF-16 code units
  ObjType obj_type = ObjType::kUnallocated;
  Color color = Color::kRed;
  uint32_t left_sibling = NOSTREAM;
  uint32_t right_sibling = NOSTREAM;
  uint32_t child = NOSTREAM;
  Guid clsid;
  uint32_t state_bits = 0;
  uint64_t creation_time = 0;
  uint64_t modified_time = 0;
  uint32_t start_sector = 0;
  uint64_t stream_size = 0;

  // make is a fresh black entry named |name|, both times |timestamp|,
  // start sector 0 for a storage and ENDOFCHAIN for a stream.
  static DirEntry make(std::string name, ObjType type, uint64_t timestamp);
  // empty_root_entry is "Root Entry": black, times 0, start ENDOFCHAIN.
  static DirEntry empty_root_entry();
  // unallocated is an empty red entry with start sector 0.
  static DirEntry unallocated() { return DirEntry{}; }

  // encode writes the 128 bytes of the entry into |out|; the name must fit.
  void encode(std::span<uint8_t, kDirEntryLen> out) const;
};

// write_clsid writes the 16 bytes of |id|: the first group as u32, the next
// two as u16, the last 8 bytes as they stand.
void write_clsid(const Guid& id, uint8_t* out);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_DIRENTRY_H_
