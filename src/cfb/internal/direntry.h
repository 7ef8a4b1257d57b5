// DirEntry: one directory entry as the writer keeps it, and its 128-byte
// encoding (the layout is in cfb/format.h).

#ifndef CELLVAULT_CFB_INTERNAL_DIRENTRY_H_
#define CELLVAULT_CFB_INTERNAL_DIRENTRY_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cfb/format.h"

namespace cellvault::cfb::internal {

// obj_type_name is the type's display name used in messages ("Storage").
std::string_view obj_type_name(ObjType type);

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

  // encode writes the 128 bytes of the entry into |out|; the name must
  // fit. An unallocated entry carries nothing: its bytes are
  // kUnallocatedDirEntry.
  void encode(std::span<uint8_t, kDirEntryLen> out) const;
};

// write_clsid writes the 16 bytes of |id|: the first group as u32, the next
// two as u16, the last 8 bytes as they stand.
void write_clsid(const Guid& id, uint8_t* out);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_DIRENTRY_H_
