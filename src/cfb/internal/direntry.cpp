#include "cfb/internal/direntry.h"

#include <cstring>

#include "cfb/internal/header.h"
#include "cfb/internal/name.h"
#include "common/bytes.h"

namespace cellvault::cfb::internal {

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
  uint8_t* out = span.data();
  std::memset(out, 0, kDirEntryLen);
  const std::u16string units = to_utf16(name);
  for (size_t i = 0; i < units.size() && i < kMaxNameUnits; ++i) {
    store_u16le(out + 2 * i, static_cast<uint16_t>(units[i]));
  }
  store_u16le(out + 64, static_cast<uint16_t>(2 * units.size() + 2));
  out[66] = static_cast<uint8_t>(obj_type);
  out[67] = static_cast<uint8_t>(color);
  store_u32le(out + kOffsetLeftSibling, left_sibling);
  store_u32le(out + kOffsetRightSibling, right_sibling);
  store_u32le(out + kOffsetChild, child);
  write_clsid(clsid, out + 80);
  store_u32le(out + 96, state_bits);
  store_u64le(out + 100, creation_time);
  store_u64le(out + 108, modified_time);
  store_u32le(out + 116, start_sector);
  store_u64le(out + 120, stream_size);
}

}  // namespace cellvault::cfb::internal
