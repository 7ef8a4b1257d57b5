// Helpers shared by the cryptography tests: hex conversion, so that byte
// mismatches print readably, and capture of an abort's message.

#ifndef CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_
#define CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_

#include <cstdlib>
#include <string>
#include <string_view>

#include "common/abort.h"
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

// abort_message runs |f| and returns the message of the Abort it throws,
// or "<no abort>".
template <class F>
std::string abort_message(F&& f) {
  try {
    f();
  } catch (const Abort& a) {
    return a.message();
  }
  return "<no abort>";
}

}  // namespace cellvault::testing

#endif  // CELLVAULT_TESTS_CPP_CRYPTO_TEST_UTIL_H_
