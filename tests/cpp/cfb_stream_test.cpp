// Streams: the layout that the encryption driver's two streams give, the
// mini/regular cutoff, when the window flushes, re-creating a stream, path
// errors, flush errors reaching the caller, and the number of writes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "cfb/compound_file.h"
#include "cfb/format.h"
#include "cfb_test_util.h"
#include "write_counter.h"

namespace cellvault::cfb {
namespace {

using namespace internal;
using namespace cfb::testing;
using cellvault::testing::pattern;

class StreamTest : public ContainerTest {};

TEST(StreamLayoutTest, EncryptionDriverLayoutInVersion4) {
  TempPath tmp;
  IoResult<CompoundFile> cf = create_with_path(tmp.path());
  ASSERT_TRUE(cf.ok());
  const Bytes info = pattern(1289, 1);
  const Bytes package = pattern(10008, 2);
  {
    Stream s = std::move(cf->create_stream("EncryptionInfo")).take();
    ASSERT_TRUE(s.write_all(info).ok());
    ASSERT_TRUE(s.close().ok());
  }
  {
    Stream s = std::move(cf->create_stream("EncryptedPackage")).take();
    ASSERT_TRUE(s.write_all(package).ok());
    ASSERT_TRUE(s.close().ok());
  }
  const Bytes f = read_file(tmp.path());
  ASSERT_EQ(f.size(), 8u * 4096);  // header and sectors 0..6
  const uint32_t fat[] = {FATSECT, ENDOFCHAIN, ENDOFCHAIN, ENDOFCHAIN, 5, 6, ENDOFCHAIN, FREESECT};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(u32_at(f, 4096 + 4 * i), fat[i]) << i;
  EXPECT_EQ(u32_at(f, kOffsetFirstMiniFatSector), 2u);
  EXPECT_EQ(u32_at(f, kOffsetMiniFatSectors), 1u);
  // The MiniFAT chains mini sectors 0..20.
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(u32_at(f, 3 * 4096 + 4 * i), i + 1);
  EXPECT_EQ(u32_at(f, 3 * 4096 + 4 * 20), ENDOFCHAIN);
  EXPECT_EQ(u32_at(f, 3 * 4096 + 4 * 21), FREESECT);
  const Bytes dir(f.begin() + 2 * 4096, f.begin() + 3 * 4096);
  EXPECT_EQ(u32_at(dir, 76), 1u);              // root child
  EXPECT_EQ(u32_at(dir, 116), 3u);             // mini stream in sector 3
  EXPECT_EQ(u64_at(dir, 120), 1344u);          // 21 mini sectors
  EXPECT_EQ(u32_at(dir, 128 + 72), 2u);        // EncryptedPackage right of EncryptionInfo
  EXPECT_EQ(u32_at(dir, 128 + 116), 0u);
  EXPECT_EQ(u64_at(dir, 128 + 120), 1289u);
  EXPECT_EQ(u32_at(dir, 256 + 116), 4u);
  EXPECT_EQ(u64_at(dir, 256 + 120), 10008u);
  Bytes mini = info;
  mini.resize(4096, 0);
  expect_bytes(f, 4 * 4096, mini);
  Bytes data = package;
  data.resize(3 * 4096, 0);
  expect_bytes(f, 5 * 4096, data);
}

TEST_P(StreamTest, SizesAroundTheCutoff) {
  // Each size in a file of its own: below 4096 in the mini stream, from
  // 4096 on in regular sectors from sector 2.
  for (size_t size : {size_t{0}, size_t{64}, size_t{65}, size_t{4095}, size_t{4096}, size_t{4097}}) {
    SCOPED_TRACE(size);
    TempPath tmp;
    IoResult<CompoundFile> cf = create_with_path(tmp.path(), GetParam());
    ASSERT_TRUE(cf.ok());
    const Bytes data = pattern(size, 3);
    {
      Stream s = std::move(cf->create_stream("s")).take();
      ASSERT_TRUE(s.write_all(data).ok());
      ASSERT_TRUE(s.close().ok());
    }
    const Bytes f = read_file(tmp.path());
    const Bytes e(f.begin() + at(1) + 128, f.begin() + at(1) + 256);
    EXPECT_EQ(u64_at(e, 120), size);
    if (size == 0) {
      EXPECT_EQ(u32_at(e, 116), ENDOFCHAIN);
      EXPECT_EQ(f.size(), 3 * sl());
      continue;
    }
    Bytes padded = data;
    if (size < 4096) {
      EXPECT_EQ(u32_at(e, 116), 0u);
      const size_t minis = (size + 63) / 64;
      EXPECT_EQ(u64_at(f, at(1) + 120), 64 * minis);
      padded.resize(minis * 64, 0);
      expect_bytes(f, at(3), padded);  // mini stream after the MiniFAT in 2
    } else {
      EXPECT_EQ(u32_at(e, 116), 2u);
      EXPECT_EQ(u32_at(f, kOffsetFirstMiniFatSector), ENDOFCHAIN);
      const size_t sectors = (size + sl() - 1) / sl();
      EXPECT_EQ(f.size(), (3 + sectors) * sl());
      padded.resize(sectors * sl(), 0);
      expect_bytes(f, at(2), padded);
      EXPECT_EQ(u32_at(f, at(0) + 4 * (1 + sectors)), ENDOFCHAIN);
    }
  }
}

TEST_P(StreamTest, Writing8192BytesFlushesNothingAnd8193FlushesOnce) {
  Stream s = open("s");
  ASSERT_TRUE(s.write_all(pattern(8192, 4)).ok());
  EXPECT_EQ(file().size(), 3 * sl());
  EXPECT_EQ(u64_at(entry(file(), 1), 120), 0u);
  ASSERT_TRUE(s.write_all(pattern(1, 5)).ok());
  Bytes f = file();
  EXPECT_EQ(u64_at(entry(f, 1), 120), 8192u);
  EXPECT_EQ(u32_at(entry(f, 1), 116), 2u);
  EXPECT_EQ(f.size(), 3 * sl() + 8192);
  ASSERT_TRUE(s.close().ok());
  f = file();
  EXPECT_EQ(u64_at(entry(f, 1), 120), 8193u);
  EXPECT_EQ(f.size(), 3 * sl() + 8192 + sl());
  // A closed stream cannot be written.
  EXPECT_IO_ERROR(s.write_all(pattern(1, 6)), ErrorKind::InvalidInput, "stream is closed");
}

TEST_P(StreamTest, OneLongWriteGivesTheSameFileAsSmallWrites) {
  // A long write commits whole windows straight from the caller's buffer;
  // the file must match the one that 1000-byte and 8192-byte writes give
  // (time stamps aside). 3 MiB crosses FAT sectors in both versions.
  const Bytes data = pattern(3 * 1024 * 1024 + 5, 7);
  auto write_in = [&](size_t piece) {
    TempPath tmp;
    IoResult<CompoundFile> cf = create_with_path(tmp.path(), GetParam());
    EXPECT_TRUE(cf.ok());
    {
      Stream small = std::move(cf->create_stream("small")).take();
      EXPECT_TRUE(small.write_all(pattern(100, 8)).ok());
      EXPECT_TRUE(small.close().ok());
      Stream s = std::move(cf->create_stream("big")).take();
      for (size_t done = 0; done < data.size(); done += piece) {
        const size_t n = std::min(piece, data.size() - done);
        EXPECT_TRUE(s.write_all(ByteView(data).subspan(done, n)).ok());
      }
      EXPECT_TRUE(s.close().ok());
    }
    Bytes f = read_file(tmp.path());
    for (size_t i = 0; i < sl() / 128; ++i) {
      std::fill_n(f.begin() + at(1) + 128 * i + 100, 16, 0);  // time stamps
    }
    return f;
  };
  const Bytes whole = write_in(data.size());
  EXPECT_TRUE(whole == write_in(1000));
  EXPECT_TRUE(whole == write_in(8192));
  EXPECT_TRUE(whole == write_in(8193 * 3));
}

// le32 appends the little-endian bytes of |v| to |out|, for FAT and
// MiniFAT sectors worked out by hand.
void le32(Bytes& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}

TEST_P(StreamTest, SmallStreamFlushedThenWrittenPastTheCutoffMovesToRegularSectors) {
  // 100 bytes flushed go to the mini stream (MiniFAT in sector 2, mini
  // sectors 0 and 1 in sector 3); 4000 more make 4100, past the cutoff.
  const Bytes head = pattern(100, 13);
  const Bytes rest = pattern(4000, 14);
  Stream s = open("s");
  ASSERT_TRUE(s.write_all(head).ok());
  ASSERT_TRUE(s.flush_changes().ok());
  Bytes f = file();
  EXPECT_EQ(u32_at(entry(f, 1), 116), 0u);
  EXPECT_EQ(u64_at(entry(f, 1), 120), 100u);
  EXPECT_EQ(u64_at(entry(f, 0), 120), 128u);
  ASSERT_TRUE(s.write_all(rest).ok());
  ASSERT_TRUE(s.close().ok());

  f = file();
  // The whole stream moves to a new chain from sector 4: 2 sectors in
  // version 4, 9 in version 3.
  const uint32_t n = static_cast<uint32_t>((4100 + sl() - 1) / sl());
  ASSERT_EQ(f.size(), (5 + n) * sl());
  Bytes fat = {0xFD, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF,   // FAT, directory
               0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF};  // MiniFAT, mini stream
  for (uint32_t i = 0; i < n; ++i) le32(fat, i + 1 < n ? 5 + i : ENDOFCHAIN);
  fat.resize(sl(), 0xFF);
  expect_bytes(f, at(0), fat);
  EXPECT_EQ(u32_at(entry(f, 1), 116), 4u);
  EXPECT_EQ(u64_at(entry(f, 1), 120), 4100u);
  Bytes data = head;
  data.insert(data.end(), rest.begin(), rest.end());
  data.resize(n * sl(), 0);
  expect_bytes(f, at(4), data);
  // Both mini sectors are free again and trimmed: the root's mini stream
  // is empty, though it keeps its sector (whose old bytes stay).
  expect_bytes(f, at(2), Bytes(sl(), 0xFF));
  EXPECT_EQ(u32_at(f, kOffsetFirstMiniFatSector), 2u);
  EXPECT_EQ(u32_at(f, kOffsetMiniFatSectors), 1u);
  EXPECT_EQ(u32_at(entry(f, 0), 116), 3u);
  EXPECT_EQ(u64_at(entry(f, 0), 120), 0u);
  Bytes old = head;
  old.resize(sl(), 0);
  expect_bytes(f, at(3), old);
}

TEST_P(StreamTest, MiniStreamRewrittenAfterAFlushKeepsItsMiniSectorsAndGrows) {
  write_stream("x", 100, 0xA);  // mini sectors 0 and 1
  write_stream("y", 64, 0xB);   // mini sector 2
  { Stream x = open("x"); }     // emptied: 0 and 1 are free
  // s takes 0 and 1 at its first flush; rewritten from offset 0 with 200
  // bytes it keeps them and adds 3 and 4 (2 is y's).
  const Bytes first = pattern(100, 15);
  const Bytes second = pattern(100, 16);
  Stream s = open("s");
  ASSERT_TRUE(s.write_all(first).ok());
  ASSERT_TRUE(s.flush_changes().ok());
  ASSERT_TRUE(s.write_all(second).ok());
  ASSERT_TRUE(s.close().ok());

  const Bytes f = file();
  EXPECT_EQ(f.size(), 5 * sl());
  Bytes minifat;
  for (uint32_t v : {1u, 3u, ENDOFCHAIN, 4u, ENDOFCHAIN}) le32(minifat, v);
  minifat.resize(sl(), 0xFF);
  expect_bytes(f, at(2), minifat);
  EXPECT_EQ(u32_at(entry(f, 0), 116), 3u);
  EXPECT_EQ(u64_at(entry(f, 0), 120), 320u);  // five mini sectors
  EXPECT_EQ(u32_at(entry(f, 3), 116), 0u);
  EXPECT_EQ(u64_at(entry(f, 3), 120), 200u);
  // Mini sectors 0, 1: s's bytes 0..127; 2: y's; 3, 4: s's bytes 128..199,
  // then zeros.
  Bytes s_bytes = first;
  s_bytes.insert(s_bytes.end(), second.begin(), second.end());
  Bytes mini(s_bytes.begin(), s_bytes.begin() + 128);
  mini.insert(mini.end(), 64, 0xB);
  mini.insert(mini.end(), s_bytes.begin() + 128, s_bytes.end());
  mini.resize(sl(), 0);
  expect_bytes(f, at(3), mini);
}

TEST_P(StreamTest, RecreatingAStreamEmptiesItAndReusesItsSectors) {
  {
    Stream s = open("s");
    ASSERT_TRUE(s.write_all(pattern(10000, 9)).ok());
  }  // destruction flushes
  Bytes f = file();
  EXPECT_EQ(u64_at(entry(f, 1), 120), 10000u);
  {
    Stream s = open("/s");
    f = file();
    EXPECT_EQ(u64_at(entry(f, 1), 120), 0u);
    EXPECT_EQ(u32_at(entry(f, 1), 116), ENDOFCHAIN);
    EXPECT_EQ(u32_at(f, at(0) + 8), FREESECT);
    ASSERT_TRUE(s.write_all(pattern(5000, 10)).ok());
    ASSERT_TRUE(s.close().ok());
  }
  f = file();
  EXPECT_EQ(u32_at(entry(f, 1), 116), 2u);
  EXPECT_EQ(u64_at(entry(f, 1), 120), 5000u);
  EXPECT_EQ(cf_->create_stream("s").ok(), true);
}

// Overwriting keeps a stream in its sectors: a mini stream and a regular
// one, each written over after a later stream was added, give the file that
// writing their final bytes at once gives (the entries' times aside).
TEST_P(StreamTest, OverwritingAStreamKeepsItsPlace) {
  write_stream("small", 1289, 1);
  write_stream("large", 10000, 2);
  write_stream("after", 5000, 3);
  for (const char* name : {"small", "large"}) {
    Stream s = std::move(cf_->overwrite_stream(name)).take();
    ASSERT_TRUE(s.write_all(Bytes(1000, 4)).ok());
    ASSERT_TRUE(s.close().ok());
  }
  Bytes small(1289, 4), large(10000, 4);
  std::fill(small.begin() + 1000, small.end(), 1);
  std::fill(large.begin() + 1000, large.end(), 2);
  TempPath other;
  {
    CompoundFile want = std::move(create_with_path(other.path(), GetParam())).take();
    for (const auto& [name, bytes] : {std::pair{"small", small}, std::pair{"large", large},
                                      std::pair{"after", Bytes(5000, 3)}}) {
      Stream s = std::move(want.create_stream(name)).take();
      ASSERT_TRUE(s.write_all(bytes).ok());
      ASSERT_TRUE(s.close().ok());
    }
  }
  auto without_times = [&](Bytes f) {
    for (uint32_t id = 0; id < 4; ++id) {
      const Bytes e = entry(f, id);
      const auto pos = std::search(f.begin(), f.end(), e.begin(), e.end());
      std::fill(pos + 100, pos + 116, 0);
    }
    return f;
  };
  EXPECT_TRUE(without_times(file()) == without_times(read_file(other.path())));

  EXPECT_IO_ERROR(cf_->overwrite_stream("missing"), ErrorKind::NotFound, "Stream doesn't exist");
  ASSERT_TRUE(cf_->create_storage("dir").ok());
  EXPECT_IO_ERROR(cf_->overwrite_stream("dir"), ErrorKind::NotFound, "Stream doesn't exist");
}

TEST_P(StreamTest, PathErrors) {
  ASSERT_TRUE(cf_->create_storage("dir").ok());
  EXPECT_IO_ERROR(cf_->create_stream("dir"), ErrorKind::AlreadyExists,
                  "Cannot create stream at \"/dir\" because a storage already exists there");
  EXPECT_IO_ERROR(cf_->create_stream("/"), ErrorKind::AlreadyExists,
                  "Cannot create stream at \"/\" because a storage already exists there");
  EXPECT_IO_ERROR(cf_->create_stream("nodir/s"), ErrorKind::NotFound, "Parent storage doesn't exist");
  EXPECT_IO_ERROR(cf_->create_stream(".."), ErrorKind::InvalidInput,
                  "Invalid path (must be within root)");
  EXPECT_IO_ERROR(cf_->create_storage("DIR"), ErrorKind::AlreadyExists,
                  "Cannot create storage at \"/DIR\" because an entry already exists there");
  {
    Stream s = open("dir/s");
    EXPECT_IO_ERROR(cf_->create_stream("other"), ErrorKind::InvalidInput,
                    "another stream of this compound file is still open");
  }
  // A stream holds no children.
  EXPECT_IO_ERROR(cf_->create_stream("dir/s/x"), ErrorKind::NotFound, "Parent storage doesn't exist");
  EXPECT_TRUE(cf_->create_stream("dir/t").ok());
}

TEST_P(StreamTest, FlushErrorReachesTheCallerOnce) {
  TempPath tmp;
  IoResult<File> file = File::create(tmp.path());
  ASSERT_TRUE(file.ok());
  const int fd = file->fd();
  IoResult<CompoundFile> cf = create_with_file(*file, GetParam());
  ASSERT_TRUE(cf.ok());
  Stream s = std::move(cf->create_stream("s")).take();
  ASSERT_TRUE(s.write_all(pattern(100, 11)).ok());
  // Swap a read-only descriptor in under the writer.
  const int ro = ::open(tmp.path().c_str(), O_RDONLY);
  ASSERT_GE(ro, 0);
  ASSERT_EQ(::dup2(ro, fd), fd);
  ::close(ro);
  IoResult<void> flushed = s.flush_changes();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().os_error(), EBADF);
  // The failed bytes are not flushed again; close reports no stale error.
  EXPECT_TRUE(s.flush_changes().ok());
  EXPECT_TRUE(s.close().ok());
}

TEST_P(StreamTest, LongWritesAreFewWriteCalls) {
  // One MiB in one call: the data with the FAT sectors between its runs,
  // the remaining FAT entries, the directory entry and the header.
  const uint64_t before = write_counter::calls();
  Stream s = open("s");
  ASSERT_TRUE(s.write_all(pattern(1024 * 1024, 12)).ok());
  ASSERT_TRUE(s.close().ok());
  const uint64_t calls = write_counter::calls() - before;
  // Version 3 spreads the 2048 sectors over 17 FAT sectors, which go out
  // with the data.
  EXPECT_LE(calls, 10u);
  EXPECT_GE(calls, 3u);
}

TEST(StreamLimitTest, Version3StreamsStopAt2GiB) {
  // The stream goes to /dev/null from untouched zero pages, so 2 GiB is
  // neither held nor written. The first flush of one long write covers all
  // but the last 1 to 8192 bytes: 2^31 + 8193 bytes make it pass 2^31.
  const size_t n = (size_t{1} << 31) + 8193;
  void* zeros = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  const ByteView data(static_cast<const uint8_t*>(zeros), n);
  for (Version version : {Version::V3, Version::V4}) {
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    File null_file(fd);
    IoResult<CompoundFile> cf = create_with_file(null_file, version);
    ASSERT_TRUE(cf.ok());
    Stream s = std::move(cf->create_stream("s")).take();
    if (version == Version::V3) {
      EXPECT_IO_ERROR(s.write_all(data), ErrorKind::InvalidInput,
                      "Stream of 2147491840 bytes is too long for a version 3 file (at most "
                      "2147483648 bytes)");
    } else {
      EXPECT_TRUE(s.write_all(data).ok());
    }
    EXPECT_TRUE(s.close().ok());
  }
  ::munmap(zeros, n);
}

INSTANTIATE_TEST_SUITE_P(Versions, StreamTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

}  // namespace
}  // namespace cellvault::cfb
