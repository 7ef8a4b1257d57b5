#include "cli/shown.h"

#include <cstdint>

#include "common/text.h"

namespace cellvault::cli {
namespace {

// needs_quoting tells whether |text| holds a control character or is not
// UTF-8. In UTF-8 the C1 controls U+0080..U+009F are exactly the pairs
// C2 80 .. C2 9F.
bool needs_quoting(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t i = 0; i < text.size(); ++i) {
    if (p[i] < 0x20 || p[i] == 0x7f) return true;
    if (p[i] == 0xc2 && i + 1 < text.size() && p[i + 1] >= 0x80 && p[i + 1] <= 0x9f) {
      return true;
    }
  }
  return !is_valid_utf8(text);
}

std::string ansi_c_quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "$'";
  for (const char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += ch;
        }
    }
  }
  out += '\'';
  return out;
}

}  // namespace

std::string shown(std::string_view name) {
  return needs_quoting(name) ? ansi_c_quoted(name) : std::string(name);
}

std::string shown_quoted(std::string_view text) {
  if (needs_quoting(text)) return ansi_c_quoted(text);
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

}  // namespace cellvault::cli
