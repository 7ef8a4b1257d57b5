// Directory entry names: UTF-8 decoding, their UTF-16 form and their order.

#ifndef CELLVAULT_CFB_INTERNAL_NAME_H_
#define CELLVAULT_CFB_INTERNAL_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cellvault::cfb::internal {

// The longest name that fits the 64-byte name field with its terminating
// zero unit.
inline constexpr size_t kMaxNameUnits = 31;

// is_valid_utf8 tells whether |text| is well-formed UTF-8 (no surrogates,
// no overlong forms, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// to_utf16 converts valid UTF-8 |name| to UTF-16 code units. The caller
// must pass valid UTF-8.
std::u16string to_utf16(std::string_view name);

// utf16_len counts the UTF-16 code units of valid UTF-8 |name| (a
// character above U+FFFF counts 2).
size_t utf16_len(std::string_view name);

// to_upper maps valid UTF-8 |name| to its full Unicode upper case,
// independent of the locale ("ß" becomes "SS").
std::string to_upper(std::string_view name);

// compare_names orders directory entry names: fewer UTF-16 code units
// first, then by the UTF-8 bytes of the upper-case forms. Returns <0, 0 or
// >0.
int compare_names(std::string_view a, std::string_view b);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_NAME_H_
