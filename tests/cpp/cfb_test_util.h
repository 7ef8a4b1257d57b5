// Helpers for the compound file writer's tests: temporary files, reading
// back what was written, and little-endian fields compared with hex output.

#ifndef CELLVAULT_TESTS_CFB_TEST_UTIL_H_
#define CELLVAULT_TESTS_CFB_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "bytes_test_util.h"
#include "cfb/compound_file.h"
#include "cfb/internal/alloc.h"
#include "cfb/version.h"
#include "common/bytes.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault::cfb::testing {

// TempPath is a fresh path in the temporary directory, removed at the end.
class TempPath {
 public:
  TempPath() {
    const char* dir = std::getenv("TMPDIR");
    std::string templ = std::string(dir ? dir : "/tmp") + "/cfb_test_XXXXXX";
    int fd = ::mkstemp(templ.data());
    if (fd >= 0) ::close(fd);
    path_ = templ;
  }
  ~TempPath() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline Bytes read_file(const std::string& path) {
  IoResult<File> f = File::open_read(path);
  if (!f.ok()) return {};
  IoResult<Bytes> bytes = f->read_to_end();
  return bytes.ok() ? std::move(bytes).take() : Bytes{};
}

// read_part reads |n| bytes at |offset| of the file at |path| (for files
// too large, or too sparse, to read whole).
inline Bytes read_part(const std::string& path, uint64_t offset, size_t n) {
  IoResult<File> f = File::open_read(path);
  Bytes out(n, 0);
  if (!f.ok()) return {};
  IoResult<size_t> got = f->read_at(out, offset);
  out.resize(got.ok() ? *got : 0);
  return out;
}

inline uint32_t u32_at(const Bytes& b, size_t offset) {
  return offset + 4 <= b.size() ? load_u32le(b.data() + offset) : 0xDEADBEEF;
}
inline uint64_t u64_at(const Bytes& b, size_t offset) {
  return offset + 8 <= b.size() ? load_u64le(b.data() + offset) : 0xDEADBEEF;
}

using cellvault::testing::hex;

// ExpectBytes checks |n| bytes of |got| at |offset| against |want|,
// printing both in hex on a mismatch.
inline void expect_bytes(const Bytes& got, size_t offset, const Bytes& want) {
  ASSERT_LE(offset + want.size(), got.size()) << "file too short";
  EXPECT_EQ(hex(ByteView(got).subspan(offset, want.size())), hex(want))
      << "at offset " << offset;
}

inline size_t sector_len(Version v) { return v == Version::V4 ? 4096 : 512; }
inline uint64_t sector_offset(Version v, uint32_t id) { return (uint64_t{id} + 1) * sector_len(v); }

// Checks an error's kind and message.
#define EXPECT_IO_ERROR(result, kind_, message_)                     \
  do {                                                               \
    const auto& r_ = (result);                                       \
    ASSERT_FALSE(r_.ok()) << "expected an error";                    \
    EXPECT_EQ(error_kind_name(r_.error().kind()), error_kind_name(kind_)); \
    EXPECT_EQ(r_.error().message(), message_);                       \
  } while (0)

// new_file_allocator builds, over the empty |file|, the allocator of a
// fresh compound file: the new-file header and FAT sector 0, and a
// one-sector chain at sector 1 initialised with |fill| (the directory's
// place, which a Directory then takes over), all written.
inline IoResult<internal::Allocator> new_file_allocator(File& file, Version v,
                                                        internal::SectorFill fill) {
  using namespace internal;
  Sectors sectors(file, new_file_header(v), 0);
  CV_TRY(sectors.claim_sector(kNewFileFatSector));
  CV_TRY(sectors.init_sector(kNewFileDirSector, fill));
  sectors.header_mut();
  CV_TRY_ASSIGN(Allocator a, Allocator::create(std::move(sectors), {}, {kNewFileFatSector},
                                               {kNewFileFat.begin(), kNewFileFat.end()}));
  a.mark_all_unwritten();
  CV_TRY(a.commit());
  return a;
}

inline std::string version_name(const ::testing::TestParamInfo<Version>& info) {
  return info.param == Version::V4 ? "V4" : "V3";
}

// ContainerTest writes a compound file of the parameter's version to a
// temporary path and reads back what is on disk.
class ContainerTest : public ::testing::TestWithParam<Version> {
 protected:
  void SetUp() override {
    IoResult<CompoundFile> cf = create_with_path(tmp_.path(), GetParam());
    ASSERT_TRUE(cf.ok()) << cf.error().render();
    cf_.emplace(std::move(cf).take());
  }
  Stream open(const std::string& path) {
    IoResult<Stream> s = cf_->create_stream(path);
    EXPECT_TRUE(s.ok()) << s.error().render();
    return std::move(s).take();
  }
  // write_stream writes |size| bytes |value| into a stream and closes it.
  void write_stream(const std::string& name, size_t size, uint8_t value) {
    IoResult<Stream> s = cf_->create_stream(name);
    ASSERT_TRUE(s.ok()) << s.error().render();
    ASSERT_TRUE(s->write_all(Bytes(size, value)).ok());
    ASSERT_TRUE(s->close().ok());
  }
  size_t sl() const { return sector_len(GetParam()); }
  uint64_t at(uint32_t sector) const { return sector_offset(GetParam(), sector); }
  Bytes file() { return read_file(tmp_.path()); }
  // The on-disk directory entry |id|, found along the directory chain (the
  // files here need only FAT sector 0).
  Bytes entry(const Bytes& f, uint32_t id) {
    const size_t per = sl() / 128;
    uint32_t sector = u32_at(f, kOffsetFirstDirSector);
    for (size_t k = 0; k < id / per; ++k) sector = u32_at(f, at(0) + 4 * sector);
    const uint64_t offset = at(sector) + 128 * (id % per);
    return Bytes(f.begin() + static_cast<std::ptrdiff_t>(offset),
                 f.begin() + static_cast<std::ptrdiff_t>(offset + 128));
  }

  TempPath tmp_;
  std::optional<CompoundFile> cf_;
};

}  // namespace cellvault::cfb::testing

#endif  // CELLVAULT_TESTS_CFB_TEST_UTIL_H_
