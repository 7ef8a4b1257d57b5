// cfb_write: writes a compound file from a description, for the Python
// tests that read it back with an independent reader.
//
//   cfb_write [--version 3|4] [--chunk BYTES] OUT ITEM...
//
// ITEM is "storage:PATH" or "stream:PATH:SIZE:SEED"; items run in order
// (naming an existing stream again empties and rewrites it). A stream's
// byte i is pattern(i mod 4099, SEED), see pattern(); it is written with
// write_all calls of at most BYTES (default 8 MiB) and closed. Exit status
// 0 on success; on failure the error is printed and the status is 1.
//
//   cfb_write encrypt [--version 3|4] FROM TO
//
// runs the whole encryption pipeline (as the Python function does, but with
// the container version of choice) with the password taken from the
// environment variable CELLVAULT_PASSWORD; the tests use it to hand version
// 3 files of the pipeline to LibreOffice.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/compound_file.h"
#include "common/abort.h"
#include "writer/xlsx.h"

namespace {

using cellvault::Bytes;
using cellvault::ByteView;
using cellvault::IoError;
using cellvault::IoResult;

constexpr size_t kPeriod = 4099;

// pattern is the byte at position k (0 <= k < 4099) of a stream with
// |seed|; the period is prime so that it never lines up with sectors.
uint8_t pattern(size_t k, unsigned long seed) {
  return static_cast<uint8_t>((k * 131 + seed * 17 + k / 7) & 0xFF);
}

int fail(const std::string& what) {
  std::fprintf(stderr, "cfb_write: %s\n", what.c_str());
  return 1;
}

IoResult<void> write_stream(cellvault::cfb::CompoundFile& cf, std::string_view path,
                            uint64_t size, unsigned long seed, size_t chunk) {
  CV_TRY_ASSIGN(cellvault::cfb::Stream stream, cf.create_stream(path));
  // One period's worth longer than a chunk, so that every chunk can start
  // at its phase without copying.
  Bytes block(chunk + kPeriod);
  for (size_t i = 0; i < block.size(); ++i) block[i] = pattern(i % kPeriod, seed);
  uint64_t done = 0;
  while (done < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, size - done));
    const size_t phase = static_cast<size_t>(done % kPeriod);
    CV_TRY(stream.write_all(ByteView(block.data() + phase, n)));
    done += n;
  }
  return stream.close();
}

// parse_version reads the value of --version.
bool parse_version(const std::string& text, cellvault::cfb::Version* out) {
  if (text == "3") {
    *out = cellvault::cfb::Version::V3;
  } else if (text == "4") {
    *out = cellvault::cfb::Version::V4;
  } else {
    return false;
  }
  return true;
}

int encrypt(const std::vector<std::string>& args) {
  cellvault::OutputOptions options;
  size_t i = 1;
  if (args.size() > 2 && args[1] == "--version") {
    if (!parse_version(args[2], &options.version)) return fail("version must be 3 or 4");
    i = 3;
  }
  const char* password = std::getenv("CELLVAULT_PASSWORD");
  if (args.size() != i + 2 || password == nullptr) {
    return fail("usage: CELLVAULT_PASSWORD=... cfb_write encrypt [--version 3|4] FROM TO");
  }
  try {
    cellvault::set_password(args[i], args[i + 1], password, options);
  } catch (const cellvault::Abort& abort) {
    return fail(abort.message());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "encrypt") return encrypt(args);
  cellvault::cfb::Version version = cellvault::cfb::Version::V4;
  size_t chunk = size_t{8} << 20;
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
    if (i + 1 >= args.size()) return fail("missing value for " + args[i]);
    if (args[i] == "--version") {
      if (!parse_version(args[i + 1], &version)) return fail("version must be 3 or 4");
    } else if (args[i] == "--chunk") {
      chunk = std::strtoull(args[i + 1].c_str(), nullptr, 10);
      if (chunk == 0) return fail("chunk must be positive");
    } else {
      return fail("unknown option " + args[i]);
    }
  }
  if (i >= args.size()) return fail("usage: cfb_write [--version 3|4] [--chunk N] OUT ITEM...");
  IoResult<cellvault::File> opened = cellvault::File::create(args[i]);
  if (!opened.ok()) return fail(opened.error().render());
  cellvault::File file = std::move(opened).take();
  {
    IoResult<cellvault::cfb::CompoundFile> created = cellvault::cfb::create_with_file(file, version);
    if (!created.ok()) return fail(created.error().render());
    cellvault::cfb::CompoundFile cf = std::move(created).take();
    for (++i; i < args.size(); ++i) {
      const std::string& item = args[i];
      IoResult<void> result;
      if (item.rfind("storage:", 0) == 0) {
        result = cf.create_storage(item.substr(8));
      } else if (item.rfind("stream:", 0) == 0) {
        // PATH may itself hold ':'; SIZE and SEED are the last two fields.
        const size_t b = item.rfind(':');
        const size_t a = item.rfind(':', b - 1);
        if (a <= 6) return fail("bad item " + item);
        const uint64_t size = std::strtoull(item.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
        const unsigned long seed = std::strtoul(item.substr(b + 1).c_str(), nullptr, 10);
        result = write_stream(cf, item.substr(7, a - 7), size, seed, chunk);
      } else {
        return fail("bad item " + item);
      }
      if (!result.ok()) return fail(result.error().render());
    }
  }
  IoResult<void> closed = file.close();
  if (!closed.ok()) return fail(closed.error().render());
  return 0;
}
