// Helpers for the compound file writer's tests: temporary files, reading
// back what was written, and little-endian fields compared with hex output.

#ifndef CELLVAULT_TESTS_CFB_TEST_UTIL_H_
#define CELLVAULT_TESTS_CFB_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bytes_test_util.h"
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

// new_file_allocator builds, over a new file at |path|, the allocator of a
// fresh compound file: FAT sector 0 and a one-sector chain at sector 1
// initialised with |fill| (the header names it the directory when |fill|
// is the directory fill).
inline IoResult<internal::Allocator> new_file_allocator(const std::string& path, Version v,
                                                        internal::SectorFill fill) {
  using namespace internal;
  CV_TRY_ASSIGN(File f, File::create(path));
  Header header;
  header.version = v;
  header.num_fat_sectors = 1;
  header.difat[0] = 0;
  if (fill == SectorFill::kDirectory) {
    header.num_dir_sectors = v == Version::V4 ? 1 : 0;
    header.first_dir_sector = 1;
  }
  Sectors sectors(std::move(f), header, 0);
  CV_TRY(sectors.init_sector(0, SectorFill::kFat));
  CV_TRY(sectors.init_sector(1, fill));
  sectors.header_mut();
  CV_TRY_ASSIGN(Allocator a, Allocator::create(std::move(sectors), {}, {0}, {FATSECT, ENDOFCHAIN}));
  CV_TRY(a.set_fat(0, FATSECT));
  CV_TRY(a.set_fat(1, ENDOFCHAIN));
  return a;
}

inline std::string version_name(const ::testing::TestParamInfo<Version>& info) {
  return info.param == Version::V4 ? "V4" : "V3";
}

}  // namespace cellvault::cfb::testing

#endif  // CELLVAULT_TESTS_CFB_TEST_UTIL_H_
