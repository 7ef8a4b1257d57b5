// Byte helpers shared by the unit tests: hex conversion, so that byte
// mismatches print readably, text viewed as bytes, and a fill pattern.

#ifndef CELLVAULT_TESTS_CPP_BYTES_TEST_UTIL_H_
#define CELLVAULT_TESTS_CPP_BYTES_TEST_UTIL_H_

#include <cstdlib>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace cellvault::testing {

inline std::string hex(ByteView data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// unhex reads hex digits, ignoring spaces.
inline Bytes unhex(std::string_view text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c != ' ' && c != '\n') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(
        std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

inline ByteView view(std::string_view s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// pattern returns |n| bytes that do not repeat with any short period, so
// that a misplaced block or segment shows; another |salt| gives other
// bytes.
inline Bytes pattern(size_t n, uint8_t salt = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + salt + i / 251);
  return out;
}

}  // namespace cellvault::testing

#endif  // CELLVAULT_TESTS_CPP_BYTES_TEST_UTIL_H_
