#include "cfb/internal/name.h"

#include <algorithm>

#include "cfb/internal/upper_table.h"

namespace cellvault::cfb::internal {
namespace {

// decode reads one code point of valid UTF-8 at |i| and advances |i|.
uint32_t decode(std::string_view s, size_t& i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  size_t n = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  uint32_t cp = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
  i += n;
  return cp;
}

void encode(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_upper(uint32_t cp, std::string& out) {
  const UpperMulti* mend = kUpperMulti + kUpperMultiCount;
  const UpperMulti* m = std::lower_bound(
      kUpperMulti, mend, cp,
      [](const UpperMulti& e, uint32_t v) { return e.code_point < v; });
  if (m != mend && m->code_point == cp) {
    for (uint32_t u : m->upper) {
      if (u != 0) encode(u, out);
    }
    return;
  }
  const UpperRun* rend = kUpperRuns + kUpperRunCount;
  // The last run whose first code point is not above cp.
  const UpperRun* r = std::upper_bound(
      kUpperRuns, rend, cp,
      [](uint32_t v, const UpperRun& e) { return v < e.first; });
  if (r != kUpperRuns) {
    --r;
    if (cp <= r->last && (cp - r->first) % static_cast<uint32_t>(r->stride) == 0) {
      cp = static_cast<uint32_t>(static_cast<int64_t>(cp) + r->delta);
    }
  }
  encode(cp, out);
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t min;
    uint32_t cp;
    if (b0 >= 0xC2 && b0 < 0xE0) {
      n = 2, min = 0x80, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 < 0xF0) {
      n = 3, min = 0x800, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 < 0xF5) {
      n = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

std::u16string to_utf16(std::string_view name) {
  std::u16string out;
  for (size_t i = 0; i < name.size();) {
    uint32_t cp = decode(name, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

size_t utf16_len(std::string_view name) {
  size_t n = 0;
  for (size_t i = 0; i < name.size();) n += decode(name, i) >= 0x10000 ? 2 : 1;
  return n;
}

std::string to_upper(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) append_upper(decode(name, i), out);
  return out;
}

int compare_names(std::string_view a, std::string_view b) {
  const size_t la = utf16_len(a);
  const size_t lb = utf16_len(b);
  if (la != lb) return la < lb ? -1 : 1;
  // std::string compares its chars as unsigned bytes (char_traits<char>
  // compares as unsigned char), which is the byte order wanted here.
  const int c = to_upper(a).compare(to_upper(b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace cellvault::cfb::internal
