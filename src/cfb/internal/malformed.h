// The errors of the checks that the allocators and the directory run on
// the tables they are handed: InvalidData "Malformed {table} ({detail})".

#ifndef CELLVAULT_CFB_INTERNAL_MALFORMED_H_
#define CELLVAULT_CFB_INTERNAL_MALFORMED_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace cellvault::cfb::internal {

inline IoError malformed(std::string_view table, const std::string& detail) {
  return IoError::custom(ErrorKind::InvalidData,
                         "Malformed " + std::string(table) + " (" + detail + ")");
}

// str renders a number in a message, in decimal.
inline std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_MALFORMED_H_
