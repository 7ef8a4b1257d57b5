// Tests of the shared helpers: byte order, results and aborts, the file
// wrapper's error reporting, and batched writes.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <span>
#include <string>

#include "common/abort.h"
#include "common/bytes.h"
#include "common/file.h"
#include "common/secure.h"
#include "common/write_batch.h"
#include "write_counter.h"

namespace cellvault {
namespace {

TEST(BytesTest, LittleEndianLayoutOfEveryWidth) {
  Bytes out;
  add_u16le(out, 0x0102);
  add_u32le(out, 0x03040506);
  add_u64le(out, 0x0708090A0B0C0D0Eull);
  const Bytes want = {0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D,
                      0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07};
  EXPECT_EQ(out, want);
  EXPECT_EQ(load_u16le(out.data()), 0x0102);
  EXPECT_EQ(load_u32le(out.data() + 2), 0x03040506u);
  EXPECT_EQ(load_u64le(out.data() + 6), 0x0708090A0B0C0D0Eull);
  // The top bit must survive the round trip (no sign extension).
  uint8_t b[8];
  store_u64le(b, 0xFFFFFFFFFFFFFFFEull);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(load_u64le(b), 0xFFFFFFFFFFFFFFFEull);
}

IoResult<int> half(int v) {
  if (v % 2 != 0) {
    return Err{IoError::custom(ErrorKind::InvalidInput, "odd")};
  }
  return v / 2;
}

IoResult<int> quarter(int v) {
  CV_TRY_ASSIGN(int h, half(v));
  CV_TRY_ASSIGN(int q, half(h));
  return q;
}

TEST(ResultTest, TryPassesValuesAndReturnsTheFirstError) {
  ASSERT_TRUE(quarter(8).ok());
  EXPECT_EQ(*quarter(8), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(r.error().message(), "odd");
}

TEST(ErrorTest, RenderingOfOsAndOwnErrors) {
  EXPECT_EQ(IoError::from_os(ENOENT).render(),
            "Os { code: 2, kind: NotFound, message: \"No such file or "
            "directory\" }");
  EXPECT_EQ(IoError::custom(ErrorKind::InvalidData, "bad \"x\"\n").render(),
            "Custom { kind: InvalidData, error: \"bad \\\"x\\\"\\n\" }");
  EXPECT_EQ(kind_from_errno(EACCES), ErrorKind::PermissionDenied);
  EXPECT_EQ(kind_from_errno(EISDIR), ErrorKind::IsADirectory);
  EXPECT_EQ(kind_from_errno(ENOSPC), ErrorKind::StorageFull);
}

TEST(AbortTest, UnwrapOfAnErrorAbortsWithTheRenderedError) {
  try {
    unwrap(TextResult<int>(Err{ErrorText("key size not supported!")}));
    FAIL() << "unwrap returned";
  } catch (const Abort& a) {
    EXPECT_EQ(a.message(),
              "called `Result::unwrap()` on an `Err` value: \"key size not "
              "supported!\"");
    EXPECT_NE(std::string(a.where().file_name()).find("common_test.cpp"),
              std::string::npos);
  }
  EXPECT_EQ(unwrap(IoResult<int>(7)), 7);
  try {
    unwrap(IoResult<int>(Err{IoError::from_os(ENOENT)}));
    FAIL() << "unwrap returned";
  } catch (const Abort& a) {
    ASSERT_TRUE(a.cause().has_value());
    EXPECT_EQ(a.cause()->kind(), ErrorKind::NotFound);
  }
}

TEST(FileTest, NulInPathIsRejectedBeforeTheOs) {
  auto r = File::create(std::string("a\0b", 3));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(r.error().message(), "file name contained an unexpected NUL byte");
}

TEST(FileTest, WriteAtThenReadBack) {
  char dir[] = "/tmp/cellvault-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/f";
  {
    File f = unwrap(File::create(path));
    const Bytes a = {1, 2, 3};
    const uint64_t calls = write_counter::calls();
    ASSERT_TRUE(f.write_at(a, 5).ok());
    ASSERT_TRUE(f.write_at(a, 0).ok());
    EXPECT_EQ(write_counter::calls() - calls, 2u);
    ASSERT_TRUE(f.close().ok());
  }
  File g = unwrap(File::open_read(path));
  const Bytes want = {1, 2, 3, 0, 0, 1, 2, 3};
  EXPECT_EQ(unwrap(g.read_to_end()), want);
  auto missing = File::open_read(std::string(dir) + "/none");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
  auto dir_read = unwrap(File::open_read(dir)).read_to_end();
  ASSERT_FALSE(dir_read.ok());
  EXPECT_EQ(dir_read.error().kind(), ErrorKind::IsADirectory);
  unlink(path.c_str());
  rmdir(dir);
}

// A source for the batch test: every byte of [begin, end) is |value|.
class ConstantSource final : public WriteBatch::Source {
 public:
  ConstantSource(uint64_t begin, uint64_t end, uint8_t value)
      : begin_(begin), end_(end), value_(value) {}
  size_t produce(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset < begin_ || offset >= end_) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), end_ - offset));
    std::fill_n(out.begin(), n, value_);
    return n;
  }

 private:
  uint64_t begin_, end_;
  uint8_t value_;
};

TEST(WriteBatchTest, TouchingPiecesGoOutInOneCallAndLaterPiecesWin) {
  char dir[] = "/tmp/cellvault-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/f";
  File file = unwrap(File::create(path));
  auto contents = [&path] { return unwrap(unwrap(File::open_read(path)).read_to_end()); };
  WriteBatch batch(file);
  const Bytes a(10, 'a'), b(5, 'b'), c(4, 'c');
  const ConstantSource s(100, 200, 's');
  // Staged out of order: a at 100..109, b at 110..114, s's bytes at
  // 115..119; c, staged last, overlaps a and b and wins.
  batch.stage_from(s, 115, 5);
  batch.stage(100, a);
  batch.stage(110, b);
  batch.stage(108, c);
  const uint64_t before = write_counter::calls();
  ASSERT_TRUE(batch.flush().ok());
  EXPECT_EQ(write_counter::calls() - before, 1u);
  EXPECT_TRUE(batch.empty());
  Bytes got = contents();
  ASSERT_EQ(got.size(), 120u);
  EXPECT_EQ(std::string(got.begin() + 100, got.end()), "aaaaaaaaccccbbbsssss");
  EXPECT_EQ(got[99], 0);

  // A gap that an offered source covers is bridged; one that no source
  // covers all of is left alone and costs a second call.
  batch.stage(100, a);
  batch.stage(130, b);  // 110..129 from the source
  batch.stage(300, c);  // 200..299 is nobody's
  batch.offer(s);
  const uint64_t second = write_counter::calls();
  ASSERT_TRUE(batch.flush().ok());
  EXPECT_EQ(write_counter::calls() - second, 2u);
  got = contents();
  ASSERT_EQ(got.size(), 304u);
  EXPECT_EQ(std::string(got.begin() + 100, got.begin() + 135),
            std::string(10, 'a') + std::string(20, 's') + "bbbbb");
  EXPECT_EQ(got[135], 0);
  EXPECT_EQ(got[299], 0);
  EXPECT_EQ(std::string(got.begin() + 300, got.end()), "cccc");

  // Discarded pieces are never written.
  batch.stage(0, a);
  batch.discard();
  ASSERT_TRUE(batch.flush().ok());
  EXPECT_EQ(contents()[0], 0);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(FileTest, WriteBeyondTheFileSizeLimitIsAnError) {
  // RLIMIT_FSIZE makes the kernel refuse the write (EFBIG once SIGXFSZ is
  // ignored): the error must reach the caller, not be lost.
  char dir[] = "/tmp/cellvault-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/f";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {100, 100};
    setrlimit(RLIMIT_FSIZE, &lim);
    auto f = File::create(path);
    if (!f.ok()) _exit(2);
    Bytes data(200, 7);
    auto r = f->write_at(data, 0);
    _exit(!r.ok() && r.error().kind() == ErrorKind::FileTooLarge ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace cellvault
