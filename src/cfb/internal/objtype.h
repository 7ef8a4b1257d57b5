// The object type of a directory entry.

#ifndef CELLVAULT_CFB_INTERNAL_OBJTYPE_H_
#define CELLVAULT_CFB_INTERNAL_OBJTYPE_H_

#include <cstdint>
#include <string_view>

namespace cellvault::cfb::internal {

// ObjType's values are the bytes stored at offset 66 of an entry.
enum class ObjType : uint8_t {
  kUnallocated = 0,
  kStorage = 1,
  kStream = 2,
  kRoot = 5,
};

// obj_type_name is the type's display name used in messages ("Storage").
inline std::string_view obj_type_name(ObjType type) {
  switch (type) {
    case ObjType::kUnallocated: return "Unallocated";
    case ObjType::kStorage: return "Storage";
    case ObjType::kStream: return "Stream";
    case ObjType::kRoot: return "Root";
  }
  return "Unallocated";
}

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_OBJTYPE_H_
