#include "cfb/internal/direntry.h"

#include <algorithm>
#include <cstring>

#include "cfb/internal/name.h"
#include "common/bytes.h"

namespace cellvault::cfb::internal {

std::string_view obj_type_name(ObjType type) {
  switch (type) {
    case ObjType::kUnallocated: return "Unallocated";
    case ObjType::kStorage: return "Storage";
    case ObjType::kStream: return "Stream";
    case ObjType::kRoot: return "Root";
  }
  return "Unallocated";
}

DirEntry DirEntry::make(std::string name, ObjType type, uint64_t timestamp) {
  DirEntry e;
  e.name = std::move(name);
  e.obj_type = type;
  e.color = Color::kBlack;
  e.creation_time = timestamp;
  e.modified_time = timestamp;
  e.start_sector = type == ObjType::kStorage ? 0 : ENDOFCHAIN;
  return e;
}

DirEntry DirEntry::empty_root_entry() {
  DirEntry e;
  e.name = "Root Entry";
  e.obj_type = ObjType::kRoot;
  e.color = Color::kBlack;
  e.start_sector = ENDOFCHAIN;
  return e;
}

void write_clsid(const Guid& id, uint8_t* out) {
  store_u32le(out, id.data1);
  store_u16le(out + 4, id.data2);
  store_u16le(out + 6, id.data3);
  std::memcpy(out + 8, id.data4, sizeof(id.data4));
}

void DirEntry::encode(std::span<uint8_t, kDirEntryLen> span) const {
  if (obj_type == ObjType::kUnallocated) {
    std::copy(kUnallocatedDirEntry.begin(), kUnallocatedDirEntry.end(), span.begin());
    return;
  }
  uint8_t* out = span.data();
  std::fill(span.begin(), span.end(), 0);
  const std::u16string units = to_utf16(name);
  for (size_t i = 0; i < units.size() && i < kMaxNameUnits; ++i) {
    store_u16le(out + kEntryName + 2 * i, static_cast<uint16_t>(units[i]));
  }
  store_u16le(out + kEntryNameLength, static_cast<uint16_t>(2 * units.size() + 2));
  out[kEntryObjType] = static_cast<uint8_t>(obj_type);
  out[kEntryColor] = static_cast<uint8_t>(color);
  store_u32le(out + kEntryLeftSibling, left_sibling);
  store_u32le(out + kEntryRightSibling, right_sibling);
  store_u32le(out + kEntryChild, child);
  write_clsid(clsid, out + kEntryClassId);
  store_u32le(out + kEntryStateBits, state_bits);
  store_u64le(out + kEntryCreationTime, creation_time);
  store_u64le(out + kEntryModifiedTime, modified_time);
  store_u32le(out + kEntryStartSector, start_sector);
  store_u64le(out + kEntryStreamSize, stream_size);
}

}  // namespace cellvault::cfb::internal
