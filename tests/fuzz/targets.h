// The work of each fuzz target, shared by the libFuzzer entry points and by
// the unit test that replays every input the fuzzers once crashed on
// (tests/fuzz/regressions/<target>/), so that a fixed crash stays fixed in
// the ordinary test run too.
//
// Each function must return normally for any input; a broken promise of
// the reader (a read past a stream's end served, a package reported whole
// but handed over in part) traps.

#ifndef CELLVAULT_TESTS_FUZZ_TARGETS_H_
#define CELLVAULT_TESTS_FUZZ_TARGETS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "reader/container.h"
#include "reader/descriptor.h"
#include "reader/reader.h"
#include "reader/source.h"

namespace cellvault::fuzz {

// The container reader: open the bytes as a compound file, look up the
// names the reader looks up, and read every stream whole, a window at a
// time, as the decryption does.
inline void run_container(const uint8_t* data, size_t size) {
  using namespace reader;
  MemorySource source(ByteView(data, size));
  ReadResult<Container> c = Container::open(source);
  if (!c.ok()) return;
  for (const char* name : {"EncryptionInfo", "EncryptedPackage", "\x06" "DataSpaces"}) {
    (void)c->find_root_child(name);
  }
  for (uint32_t id = 0; id < c->entries().size(); ++id) {
    ReadResult<StreamReader> s = c->open_stream(id, "fuzzed");
    if (!s.ok()) continue;
    Bytes window(1000);
    for (uint64_t at = 0; at < s->size(); at += window.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(window.size(), s->size() - at));
      if (!s->read_at(at, std::span<uint8_t>(window.data(), n)).ok()) break;
    }
    if (s->read_at(s->size(), std::span<uint8_t>(window.data(), 1)).ok()) __builtin_trap();
  }
}

// The descriptor reader: any bytes as an EncryptionInfo stream.
inline void run_descriptor(const uint8_t* data, size_t size) {
  using namespace reader;
  ReadResult<Descriptor> d = parse_encryption_info(ByteView(data, size));
  if (d.ok()) (void)describe_descriptor(*d);
}

// The whole way from a file to the plain package with the password
// "password". The seeds use small spin counts so that most inputs reach
// the stages after the key derivation.
inline void run_verify(const uint8_t* data, size_t size) {
  using namespace reader;
  MemorySource source(ByteView(data, size));
  uint64_t written = 0;
  const PackageSink sink = [&](ByteView piece) -> ReadResult<void> {
    written += piece.size();
    return {};
  };
  ReadResult<Report> r = decrypt_source(source, "password", sink);
  if (r.ok() && written != r->package_len) __builtin_trap();
}

}  // namespace cellvault::fuzz

#endif  // CELLVAULT_TESTS_FUZZ_TARGETS_H_
