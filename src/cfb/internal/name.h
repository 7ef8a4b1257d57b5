// Directory entry names: their upper-case form and their order. Their
// UTF-8 checks and UTF-16 form come from common/text.h.

#ifndef CELLVAULT_CFB_INTERNAL_NAME_H_
#define CELLVAULT_CFB_INTERNAL_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"

namespace cellvault::cfb::internal {

// to_upper maps valid UTF-8 |name| to its full Unicode upper case,
// independent of the locale ("ß" becomes "SS").
std::string to_upper(std::string_view name);

// compare_names orders directory entry names: fewer UTF-16 code units
// first, then by the UTF-8 bytes of the upper-case forms. Returns <0, 0 or
// >0.
int compare_names(std::string_view a, std::string_view b);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_NAME_H_
