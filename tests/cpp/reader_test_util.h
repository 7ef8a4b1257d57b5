// Helpers for the reader's tests: a version 3 compound file laid out by
// hand, field by field, so that each test can break exactly one structure;
// and reading results as "kind: message" for readable expectations.

#ifndef CELLVAULT_TESTS_CPP_READER_TEST_UTIL_H_
#define CELLVAULT_TESTS_CPP_READER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "reader/error.h"

namespace cellvault::reader::testing {

inline constexpr uint32_t kFree = 0xFFFFFFFF;
inline constexpr uint32_t kEnd = 0xFFFFFFFE;
inline constexpr uint32_t kFatSect = 0xFFFFFFFD;

// HandCfb: header, then 512-byte sectors. Sector 0 is the FAT, sector 1
// the directory (four entries: the root and up to three more); the
// helpers add data sectors after them.
struct HandCfb {
  Bytes header = Bytes(512, 0);
  std::vector<Bytes> sectors;

  HandCfb() {
    static constexpr uint8_t kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    for (size_t i = 0; i < 8; ++i) header[i] = kSig[i];
    store_u16le(&header[0x18], 0x3E);
    store_u16le(&header[0x1A], 3);
    store_u16le(&header[0x1C], 0xFFFE);
    store_u16le(&header[0x1E], 9);
    store_u16le(&header[0x20], 6);
    store_u32le(&header[0x2C], 1);   // one FAT sector
    store_u32le(&header[0x30], 1);   // directory at sector 1
    store_u32le(&header[0x38], 4096);
    store_u32le(&header[0x3C], kEnd);  // no MiniFAT
    store_u32le(&header[0x44], kEnd);  // no DIFAT sectors
    for (size_t i = 0; i < 109; ++i) store_u32le(&header[0x4C + 4 * i], kFree);
    store_u32le(&header[0x4C], 0);  // FAT sector 0
    sectors.assign(2, Bytes(512, 0));
    for (size_t i = 0; i < 128; ++i) set_fat(static_cast<uint32_t>(i), kFree);
    set_fat(0, kFatSect);
    set_fat(1, kEnd);
    entry(0, u"Root Entry", 5, kEnd, 0);
    for (uint32_t i = 1; i < 4; ++i) set_links(i, kFree, kFree, kFree);
  }

  void set_fat(uint32_t id, uint32_t next) { store_u32le(&sectors[0][4 * id], next); }
  uint8_t* dir(uint32_t id) { return &sectors[1][128 * id]; }

  void entry(uint32_t id, std::u16string_view name, uint8_t type, uint32_t start, uint64_t size) {
    uint8_t* e = dir(id);
    for (size_t i = 0; i < name.size(); ++i) store_u16le(e + 2 * i, name[i]);
    store_u16le(e + 64, static_cast<uint16_t>(2 * name.size() + 2));
    e[66] = type;
    e[67] = 1;
    set_links(id, kFree, kFree, kFree);
    store_u32le(e + 116, start);
    store_u64le(e + 120, size);
  }
  void set_links(uint32_t id, uint32_t left, uint32_t right, uint32_t child) {
    store_u32le(dir(id) + 68, left);
    store_u32le(dir(id) + 72, right);
    store_u32le(dir(id) + 76, child);
  }

  // add_stream puts |data| (4096 bytes or more, so that it lives in
  // regular sectors) into new sectors chained in order and returns the
  // first sector's id.
  uint32_t add_chained(ByteView data) {
    const uint32_t first = static_cast<uint32_t>(sectors.size());
    for (size_t at = 0; at < data.size(); at += 512) {
      Bytes s(512, 0);
      std::copy(data.begin() + at, data.begin() + std::min(at + 512, data.size()), s.begin());
      const uint32_t id = static_cast<uint32_t>(sectors.size());
      sectors.push_back(std::move(s));
      set_fat(id, at + 512 < data.size() ? id + 1 : kEnd);
    }
    return first;
  }

  Bytes bytes() const {
    Bytes out = header;
    for (const Bytes& s : sectors) out.insert(out.end(), s.begin(), s.end());
    return out;
  }
};

// pattern is |n| bytes that differ from sector to sector.
inline Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 509 + seed);
  return out;
}

// outcome renders a result as "ok" or "<kind>: <message>".
template <class T>
std::string outcome(const ReadResult<T>& r) {
  if (r.ok()) return "ok";
  return std::string(read_error_kind_name(r.error().kind())) + ": " + r.error().describe();
}

}  // namespace cellvault::reader::testing

#endif  // CELLVAULT_TESTS_CPP_READER_TEST_UTIL_H_
