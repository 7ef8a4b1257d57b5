// The container reader: files of cellvault's own writer in both versions
// and at the stream size boundaries, and hand-built files that break one
// structure each.

#include <gtest/gtest.h>

#include <string>

#include "cfb/compound_file.h"
#include "cfb_test_util.h"
#include "reader/container.h"
#include "reader/source.h"
#include "reader_test_util.h"

namespace cellvault::reader {
namespace {

using testing::HandCfb;
using testing::kEnd;
using testing::kFree;
using testing::outcome;
using testing::pattern;

// read_all opens stream |name| of |c| and reads it whole in pieces of
// |piece| bytes.
ReadResult<Bytes> read_all(const Container& c, std::string_view name, size_t piece) {
  CV_TRY_ASSIGN(std::optional<uint32_t> id, c.find_root_child(name));
  if (!id) return Err{ReadError::damaged_container("no " + std::string(name))};
  CV_TRY_ASSIGN(StreamReader s, c.open_stream(*id, name));
  Bytes out(static_cast<size_t>(s.size()));
  for (size_t at = 0; at < out.size(); at += piece) {
    const size_t n = std::min(piece, out.size() - at);
    CV_TRY(s.read_at(at, std::span<uint8_t>(out.data() + at, n)));
  }
  return out;
}

class WriterFileTest : public ::testing::TestWithParam<cfb::Version> {};

// Streams on both sides of the mini stream cutoff and of sector and
// window boundaries, written by cellvault's writer in a scrambled order
// beside a "\x06DataSpaces" storage, all read back byte for byte.
TEST_P(WriterFileTest, ReadsEveryStreamAtTheSizeBoundaries) {
  const std::vector<size_t> sizes = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 8192, 70000};
  cfb::testing::TempPath path;
  {
    IoResult<File> f = File::create(path.path());
    ASSERT_TRUE(f.ok());
    IoResult<cfb::CompoundFile> cf = cfb::create_with_file(*f, GetParam());
    ASSERT_TRUE(cf.ok());
    ASSERT_TRUE(cf->create_storage("\x06" "DataSpaces").ok());
    for (size_t k = 0; k < sizes.size(); ++k) {
      const size_t i = (k * 5) % sizes.size();  // not in name order
      IoResult<cfb::Stream> s = cf->create_stream("s" + std::to_string(sizes[i]));
      ASSERT_TRUE(s.ok());
      ASSERT_TRUE(s->write_all(pattern(sizes[i], static_cast<uint8_t>(i))).ok());
      ASSERT_TRUE(s->close().ok());
    }
    IoResult<cfb::Stream> inner = cf->create_stream("/\x06" "DataSpaces/Version");
    ASSERT_TRUE(inner.ok());
    ASSERT_TRUE(inner->write_all(pattern(76)).ok());
    ASSERT_TRUE(inner->close().ok());
  }
  IoResult<File> in = File::open_read(path.path());
  ASSERT_TRUE(in.ok());
  ReadResult<FileSource> src = FileSource::open(*in);
  ASSERT_TRUE(src.ok());
  ReadResult<Container> c = Container::open(*src);
  ASSERT_TRUE(c.ok()) << outcome(c);
  EXPECT_EQ(c->version(), GetParam());
  for (size_t i = 0; i < sizes.size(); ++i) {
    for (size_t piece : {size_t{1000}, size_t{100000}}) {
      ReadResult<Bytes> got = read_all(*c, "s" + std::to_string(sizes[i]), piece);
      ASSERT_TRUE(got.ok()) << sizes[i] << ": " << outcome(got);
      EXPECT_TRUE(*got == pattern(sizes[i], static_cast<uint8_t>(i))) << "size " << sizes[i];
    }
  }
  // Names compare without regard to ASCII case, like the writer's order;
  // the storage's own child is not a child of the root.
  ReadResult<std::optional<uint32_t>> upper = c->find_root_child("S4096");
  ASSERT_TRUE(upper.ok());
  EXPECT_TRUE(upper->has_value());
  ReadResult<std::optional<uint32_t>> inner = c->find_root_child("Version");
  ASSERT_TRUE(inner.ok());
  EXPECT_FALSE(inner->has_value());
  // A window in the middle, across sector boundaries.
  ReadResult<std::optional<uint32_t>> big = c->find_root_child("s70000");
  ReadResult<StreamReader> s = c->open_stream(**big, "s70000");
  ASSERT_TRUE(s.ok());
  Bytes window(5000);
  ASSERT_TRUE(s->read_at(30001, window).ok());
  const Bytes all = pattern(70000, 12);
  EXPECT_TRUE(std::equal(window.begin(), window.end(), all.begin() + 30001));
  EXPECT_EQ(outcome(s->read_at(69000, window)),
            "damaged-container: damaged container: a read of 5000 bytes at 69000 lies past the "
            "end of stream s70000");
}

INSTANTIATE_TEST_SUITE_P(Versions, WriterFileTest,
                         ::testing::Values(cfb::Version::V3, cfb::Version::V4));

// open_hand opens a hand-built file and, when that succeeds, reads stream
// "S" whole; it returns the first error.
std::string open_hand(const Bytes& file) {
  MemorySource src(file);
  ReadResult<Container> c = Container::open(src);
  if (!c.ok()) return outcome(c);
  ReadResult<Bytes> got = read_all(*c, "S", 4096);
  return outcome(got);
}

HandCfb with_stream(size_t len = 4096) {
  HandCfb h;
  const uint32_t start = h.add_chained(pattern(len));
  h.entry(1, u"S", 2, start, len);
  h.set_links(0, kFree, kFree, 1);
  return h;
}

TEST(HostileContainerTest, AGoodHandBuiltFileReads) {
  EXPECT_EQ(open_hand(with_stream().bytes()), "ok");
}

TEST(HostileContainerTest, ChainsThatLoopBreakOrRunPastTheEnd) {
  HandCfb loop = with_stream();
  loop.set_fat(4, 2);
  EXPECT_EQ(open_hand(loop.bytes()),
            "damaged-container: damaged container: the FAT chain of stream S loops back to "
            "sector 2 after 3 sectors");
  HandCfb past = with_stream();
  past.set_fat(3, 70000);
  EXPECT_EQ(open_hand(past.bytes()),
            "damaged-container: damaged container: the FAT chain of stream S points to sector "
            "70000, past the last of 10");
  HandCfb early = with_stream();
  early.set_fat(5, kEnd);
  EXPECT_EQ(open_hand(early.bytes()),
            "damaged-container: damaged container: the FAT chain of stream S ends after 4 "
            "sectors but 8 are needed");
  HandCfb free_entry = with_stream();
  free_entry.set_fat(5, kFree);
  EXPECT_EQ(open_hand(free_entry.bytes()),
            "damaged-container: damaged container: the FAT chain of stream S reaches FREESECT "
            "after 4 sectors");
  HandCfb dir_loop = with_stream();
  dir_loop.set_fat(1, 1);
  EXPECT_EQ(open_hand(dir_loop.bytes()),
            "damaged-container: damaged container: the FAT chain of the directory loops back "
            "to sector 1 after 1 sectors");
}

TEST(HostileContainerTest, SizesLargerThanTheFile) {
  HandCfb h = with_stream();
  store_u32le(h.dir(1) + 120, 0x7FFFFFFF);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: stream S claims 2147483647 bytes but the "
            "file holds only 5632");
  // Version 3 keeps only the low 32 bits of the size: junk in the high
  // ones is ignored, as other readers do.
  HandCfb junk = with_stream();
  store_u32le(junk.dir(1) + 124, 0xFFFFFFFF);
  EXPECT_EQ(open_hand(junk.bytes()), "ok");
  // More FAT sectors than the file has sectors is refused before any
  // table is sized from the count.
  HandCfb fat = with_stream();
  store_u32le(&fat.header[0x2C], 0x10000000);
  EXPECT_EQ(open_hand(fat.bytes()),
            "damaged-container: damaged container: the header claims 268435456 FAT sectors but "
            "the file holds only 10 sectors");
}

// More than 109 FAT sectors need DIFAT sectors, so the file is padded to
// 240 sectors; every FAT sector is listed as sector 0, which the reader
// allows (the same entries are read again).
TEST(HostileContainerTest, DifatThatLoopsOrPointsOutside) {
  HandCfb h = with_stream();
  while (h.sectors.size() < 240) h.sectors.push_back(Bytes(512, 0));
  const uint32_t difat = 239;
  store_u32le(&h.header[0x2C], 109 + 127 + 1);
  for (size_t i = 0; i < 109; ++i) store_u32le(&h.header[0x4C + 4 * i], 0);
  store_u32le(&h.header[0x44], difat);
  store_u32le(&h.header[0x48], 2);
  for (size_t i = 0; i < 127; ++i) store_u32le(&h.sectors[difat][4 * i], 0);
  store_u32le(&h.sectors[difat][4 * 127], difat);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the DIFAT chain loops back to sector 239 "
            "after 1 sectors");
  store_u32le(&h.sectors[difat][4 * 127], 5000);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: DIFAT sector 5000 lies past the last of 240 "
            "sectors");
  store_u32le(&h.sectors[difat][4 * 127], kEnd);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the DIFAT lists 236 of the 237 FAT sectors "
            "and then reaches ENDOFCHAIN");
  store_u32le(&h.header[0x2C], 109 + 127);
  EXPECT_EQ(open_hand(h.bytes()), "ok");
  store_u32le(&h.sectors[difat][4 * 5], 7000);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: FAT sector 114 is listed as sector 7000, "
            "past the last of 240 sectors");
}

TEST(HostileContainerTest, DirectoryTreesThatCycleOrPointOutside) {
  HandCfb self = with_stream();
  self.set_links(1, 1, kFree, kFree);
  EXPECT_EQ(open_hand(self.bytes()),
            "damaged-container: damaged container: the directory tree has a cycle: entry 1 "
            "links back to entry 1");
  HandCfb back = with_stream();
  back.set_links(1, kFree, 0, kFree);
  EXPECT_EQ(open_hand(back.bytes()),
            "damaged-container: damaged container: the directory tree has a cycle: entry 1 "
            "links back to entry 0");
  HandCfb outside = with_stream();
  outside.set_links(1, kFree, 4000000000u, kFree);
  EXPECT_EQ(open_hand(outside.bytes()),
            "damaged-container: damaged container: directory entry 1 links to entry "
            "4000000000, past the last of 4");
  HandCfb unallocated = with_stream();
  unallocated.set_links(1, 2, kFree, kFree);
  EXPECT_EQ(open_hand(unallocated.bytes()),
            "damaged-container: damaged container: directory entry 2 is in the root's tree but "
            "is of type 0");
  HandCfb twice = with_stream();
  twice.entry(2, u"s", 2, 2, 4096);
  twice.set_links(1, 2, kFree, kFree);
  EXPECT_EQ(open_hand(twice.bytes()),
            "damaged-container: damaged container: two directory entries, 1 and 2, are both "
            "named S");
  HandCfb no_root = with_stream();
  no_root.dir(0)[66] = 1;
  EXPECT_EQ(open_hand(no_root.bytes()),
            "damaged-container: damaged container: directory entry 0 is of type 1, not the "
            "root storage");
}

// A tree in no order at all: the sought entry sits on the left of a
// larger name and right of a smaller one, reached only by a full search.
TEST(HostileContainerTest, FindsNamesInATreeOfAnyOrder) {
  HandCfb h = with_stream();
  h.entry(2, u"ZZZZZZZZ", 2, kEnd, 0);
  h.entry(3, u"A", 2, kEnd, 0);
  h.set_links(0, kFree, kFree, 3);
  h.set_links(3, 2, kFree, kFree);
  h.set_links(2, kFree, 1, kFree);
  EXPECT_EQ(open_hand(h.bytes()), "ok");
}

TEST(HostileContainerTest, MiniStreamEntriesOutOfRange) {
  // A 100-byte stream in the mini stream: MiniFAT in sector 2, mini stream
  // (two mini sectors) in sector 3.
  HandCfb h;
  h.sectors.push_back(Bytes(512, 0xFF));
  h.sectors.push_back(pattern(512));
  h.set_fat(2, kEnd);
  h.set_fat(3, kEnd);
  store_u32le(&h.header[0x3C], 2);
  store_u32le(&h.header[0x40], 1);
  store_u32le(&h.sectors[2][0], 1);
  store_u32le(&h.sectors[2][4], kEnd);
  h.entry(0, u"Root Entry", 5, 3, 128);
  h.entry(1, u"S", 2, 0, 100);
  h.set_links(0, kFree, kFree, 1);
  EXPECT_EQ(open_hand(h.bytes()), "ok");
  store_u32le(&h.sectors[2][0], 5000);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the MiniFAT chain of stream S points to "
            "sector 5000, past the last of 2");
  store_u32le(&h.sectors[2][0], 0);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the MiniFAT chain of stream S loops back to "
            "sector 0 after 1 sectors");
  h.entry(0, u"Root Entry", 5, 3, 1u << 30);
  h.set_links(0, kFree, kFree, 1);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the mini stream claims 1073741824 bytes but "
            "the file holds only 2560");
}

TEST(HostileContainerTest, HeadersThatAreWrong) {
  HandCfb h = with_stream();
  store_u16le(&h.header[0x1A], 4);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: version 4 with sector shift 9");
  h = with_stream();
  store_u16le(&h.header[0x1C], 0xFEFF);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: the header's byte order mark is 65279, not "
            "0xFFFE");
  h = with_stream();
  store_u32le(&h.header[0x38], 512);
  EXPECT_EQ(open_hand(h.bytes()),
            "damaged-container: damaged container: mini stream cutoff 512, not 4096");
}

// Every truncation of a good file fails with a message or, when only
// unread bytes are cut, still reads; none crashes or reads outside.
TEST(HostileContainerTest, EveryTruncationFailsCleanly) {
  const Bytes good = with_stream(8192).bytes();
  for (size_t len = 0; len < good.size(); len += 37) {
    const Bytes cut(good.begin(), good.begin() + len);
    const std::string got = open_hand(cut);
    EXPECT_TRUE(got.rfind("damaged-container: ", 0) == 0 || got.rfind("not-encrypted: ", 0) == 0)
        << len << ": " << got;
  }
  EXPECT_EQ(open_hand(Bytes(good.begin(), good.begin() + 9500)),
            "damaged-container: damaged container: the file is truncated: 4096 bytes at offset "
            "5632 lie past its end at 9500");
}

TEST(HostileContainerTest, FilesThatAreNotCompoundFiles) {
  EXPECT_EQ(open_hand({}), "not-encrypted: not an encrypted Office file: the file is empty");
  const Bytes zip = {'P', 'K', 3, 4, 20, 0, 0, 0};
  EXPECT_EQ(open_hand(zip),
            "not-encrypted: not an encrypted Office file: it is a plain ZIP package, which is "
            "what an unlocked workbook is");
  EXPECT_EQ(open_hand(pattern(3000)),
            "not-encrypted: not an encrypted Office file: it is not a compound file (no "
            "signature)");
}

}  // namespace
}  // namespace cellvault::reader
