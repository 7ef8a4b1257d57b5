#include "helper/crypt/base64.h"

namespace cellvault {

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// sextet gives the 6-bit value of alphabet character |c|, or -1.
int sextet(char c) {
  for (int i = 0; i < 64; ++i) {
    if (kAlphabet[i] == c) return i;
  }
  return -1;
}

}  // namespace

std::string base64_encode(ByteView data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  // Each group of three bytes is 24 bits, read as four 6-bit indices from
  // the most significant end.
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) |
                       (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  // One or two bytes left: zero bits complete the last index, "=" stands
  // for each missing index.
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{data[i]} << 16;
    if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t real = last ? 4 - pad : 4;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      int s = 0;
      if (k < real) {
        s = sextet(text[i + k]);
        if (s < 0) return std::nullopt;
      }
      v = (v << 6) | static_cast<uint32_t>(s);
    }
    // With one "=" the last character's low 2 bits are unused, with two
    // the second character's low 4 bits: they must be zero.
    if (last && pad == 1 && (v & 0xFF) != 0) return std::nullopt;
    if (last && pad == 2 && (v & 0xFFFF) != 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (real > 2) out.push_back(static_cast<uint8_t>(v >> 8));
    if (real > 3) out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

}  // namespace cellvault
