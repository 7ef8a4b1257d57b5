// Tests of reading a package into a buffer with room around it: the bytes
// read, the layout promised to the in-place encryption, the sources whose
// size is unknown or wrong (pipes), which make the buffer grow, and the
// sources that keep the read waiting (FIFOs), whose wait a hook can stop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "cfb_test_util.h"
#include "common/abort.h"
#include "common/cancel.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"

namespace cellvault {
namespace {

using cfb::testing::TempPath;
using testing::pattern;

// expect_layout checks that |buffer| holds |want| after 8 free bytes and
// keeps at least 15 more after it.
void expect_layout(PackageBuffer& buffer, ByteView want) {
  ASSERT_EQ(buffer.package_len(), want.size());
  EXPECT_EQ(buffer.package().data(), buffer.storage().data() + 8);
  EXPECT_GE(buffer.storage().size(), 8 + want.size() + 15);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), buffer.package().begin()));
}

void write_file(const std::string& path, ByteView data) {
  File f = unwrap(File::create(path));
  ASSERT_TRUE(f.write_at(data, 0).ok());
  ASSERT_TRUE(f.close().ok());
}

TEST(PackageBufferTest, ReadsRegularFilesWhole) {
  TempPath tmp;
  for (size_t n : {0, 1, 4096, 100003}) {
    const Bytes data = pattern(n);
    write_file(tmp.path(), data);
    File f = unwrap(File::open_read(tmp.path()));
    PackageBuffer buffer = unwrap(read_package(f));
    expect_layout(buffer, data);
  }
  // Reading starts at the file's current position.
  const Bytes data = pattern(5000);
  write_file(tmp.path(), data);
  File f = unwrap(File::open_read(tmp.path()));
  uint8_t skipped[100];
  ASSERT_EQ(unwrap(f.read(skipped)), sizeof(skipped));
  PackageBuffer rest = unwrap(read_package(f));
  expect_layout(rest, ByteView(data).subspan(100));
}

TEST(PackageBufferTest, GrowsForSourcesWithoutASize) {
  // A pipe reports no size, so the buffer starts small and must grow
  // (several times for 300000 bytes) while keeping what it read.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const Bytes data = pattern(300000);
  std::thread writer([&] {
    File out(fds[1]);
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(out.fd(), data.data() + done,
                                std::min<size_t>(7000, data.size() - done));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  });
  File in(fds[0]);
  IoResult<PackageBuffer> buffer = read_package(in);
  writer.join();
  ASSERT_TRUE(buffer.ok());
  expect_layout(*buffer, data);
}

// A FIFO at a fresh temporary name, removed at the end.
class TempFifo {
 public:
  TempFifo() { ::unlink(tmp_.path().c_str()); ok_ = ::mkfifo(tmp_.path().c_str(), 0600) == 0; }
  const std::string& path() const { return tmp_.path(); }
  bool ok() const { return ok_; }

 private:
  TempPath tmp_;
  bool ok_ = false;
};

bool stop_at_third_ask(void* count) { return ++*static_cast<int*>(count) >= 3; }
bool never_stop(void* count) {
  ++*static_cast<int*>(count);
  return false;
}

TEST(PackageBufferTest, WaitForAFifoWithoutWriterEndsWhenTheHookSaysStop) {
  TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  // A plain open would sleep here until a writer comes.
  File in = unwrap(open_source(fifo.path()));
  int asked = 0;
  const auto start = std::chrono::steady_clock::now();
  IoResult<PackageBuffer> got = read_package(in, CancelHook(stop_at_third_ask, &asked));
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), ErrorKind::Interrupted);
  EXPECT_EQ(got.error().message(), kCancelledMessage);
  EXPECT_EQ(asked, 3);
  // Between the answers it slept in poll rather than spinning.
  EXPECT_GE(waited, std::chrono::milliseconds(2 * kCancelPollMs));
}

TEST(PackageBufferTest, FifoWithALateWriterIsReadWholeAndFilesNeverAsk) {
  TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  const Bytes data = pattern(200000);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kCancelPollMs));
    File out = unwrap(File::open_at(AT_FDCWD, fifo.path(), O_WRONLY));
    for (size_t done = 0; done < data.size();) {
      const ssize_t n = ::write(out.fd(), data.data() + done,
                                std::min<size_t>(50000, data.size() - done));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  File in = unwrap(open_source(fifo.path()));
  int asked = 0;
  IoResult<PackageBuffer> got = read_package(in, CancelHook(never_stop, &asked));
  writer.join();
  ASSERT_TRUE(got.ok());
  expect_layout(*got, data);
  EXPECT_GE(asked, 2);  // it waited for the writer, asking meanwhile

  // A regular file never keeps the read waiting: the hook is not asked.
  TempPath file;
  write_file(file.path(), data);
  File regular = unwrap(open_source(file.path()));
  asked = 0;
  PackageBuffer whole = unwrap(read_package(regular, CancelHook(never_stop, &asked)));
  expect_layout(whole, data);
  EXPECT_EQ(asked, 0);
}

TEST(PackageBufferTest, ErrorsCopiesAndMoves) {
  char dir[] = "/tmp/cellvault-package-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  File d = unwrap(File::open_read(dir));
  IoResult<PackageBuffer> from_dir = read_package(d);
  ASSERT_FALSE(from_dir.ok());
  EXPECT_EQ(from_dir.error().kind(), ErrorKind::IsADirectory);
  rmdir(dir);

  const Bytes data = pattern(33);
  PackageBuffer copy = PackageBuffer::copy_of(data);
  expect_layout(copy, data);
  PackageBuffer empty;
  expect_layout(empty, {});

  // A moved-from buffer has nothing left to encrypt or to write.
  PackageBuffer moved = std::move(copy);
  expect_layout(moved, data);
  EXPECT_EQ(copy.package_len(), 0u);
  EXPECT_TRUE(copy.storage().empty());
  EXPECT_TRUE(copy.package().empty());
}

}  // namespace
}  // namespace cellvault
