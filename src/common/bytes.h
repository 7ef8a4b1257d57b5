// Byte buffers and fixed-width little-endian encoding.
//
// Every integer that cellvault writes or hashes is little-endian. All of the
// encoding goes through the helpers below so that byte order is decided in
// one place; nothing else in the code base shifts integers into bytes.

#ifndef CELLVAULT_COMMON_BYTES_H_
#define CELLVAULT_COMMON_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cellvault {

// An owned, growable sequence of bytes.
using Bytes = std::vector<uint8_t>;

// A read-only view of bytes owned elsewhere.
using ByteView = std::span<const uint8_t>;

// store_u16le writes |v| into the first two bytes of |out|.
constexpr void store_u16le(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
}

// store_u32le writes |v| into the first four bytes of |out|.
constexpr void store_u32le(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

// store_u64le writes |v| into the first eight bytes of |out|.
constexpr void store_u64le(uint8_t* out, uint64_t v) {
  store_u32le(out, static_cast<uint32_t>(v));
  store_u32le(out + 4, static_cast<uint32_t>(v >> 32));
}

inline uint16_t load_u16le(const uint8_t* in) {
  return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

inline uint32_t load_u32le(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) |
         (static_cast<uint32_t>(in[3]) << 24);
}

inline uint64_t load_u64le(const uint8_t* in) {
  return static_cast<uint64_t>(load_u32le(in)) |
         (static_cast<uint64_t>(load_u32le(in + 4)) << 32);
}

// add_u16le, add_u32le and add_u64le append the encoding of |v| to |out|.
template <class Buffer>
void add_u16le(Buffer& out, uint16_t v) {
  uint8_t b[2];
  store_u16le(b, v);
  out.insert(out.end(), b, b + sizeof(b));
}

template <class Buffer>
void add_u32le(Buffer& out, uint32_t v) {
  uint8_t b[4];
  store_u32le(b, v);
  out.insert(out.end(), b, b + sizeof(b));
}

template <class Buffer>
void add_u64le(Buffer& out, uint64_t v) {
  uint8_t b[8];
  store_u64le(b, v);
  out.insert(out.end(), b, b + sizeof(b));
}

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_BYTES_H_
