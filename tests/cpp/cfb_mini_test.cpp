// The mini stream: where the MiniFAT and the mini stream start, their
// growth at the 65th mini sector and at the second MiniFAT sector, freeing
// and trimming of mini chains, and the checks on a MiniFAT handed in.

#include <gtest/gtest.h>

#include "cfb/compound_file.h"
#include "cfb/internal/minialloc.h"
#include "cfb/internal/minichain.h"
#include "cfb_test_util.h"

namespace cellvault::cfb {
namespace {

using namespace internal;
using namespace cfb::testing;

class MiniTest : public ContainerTest {};

TEST_P(MiniTest, FirstSmallStreamTakesMiniFatSector2AndMiniStreamSector3) {
  write_stream("a", 65, 0x11);  // two mini sectors
  const Bytes f = file();
  ASSERT_EQ(f.size(), 5 * sl());
  EXPECT_EQ(u32_at(f, kOffsetFirstMiniFatSector), 2u);
  EXPECT_EQ(u32_at(f, kOffsetMiniFatSectors), 1u);
  const uint64_t minifat = sector_offset(GetParam(), 2);
  EXPECT_EQ(u32_at(f, minifat), 1u);
  EXPECT_EQ(u32_at(f, minifat + 4), ENDOFCHAIN);
  EXPECT_EQ(u32_at(f, minifat + 8), FREESECT);
  EXPECT_EQ(u32_at(f, minifat + sl() - 4), FREESECT);
  const uint64_t fat = sector_offset(GetParam(), 0);
  EXPECT_EQ(u32_at(f, fat + 8), ENDOFCHAIN);
  EXPECT_EQ(u32_at(f, fat + 12), ENDOFCHAIN);
  const Bytes root = entry(f, 0);
  EXPECT_EQ(u32_at(root, 116), 3u);
  EXPECT_EQ(u64_at(root, 120), 128u);
  EXPECT_EQ(u64_at(root, 100), 0u);  // the root keeps its zero times
  const Bytes a = entry(f, 1);
  EXPECT_EQ(u32_at(a, 116), 0u);
  EXPECT_EQ(u64_at(a, 120), 65u);
  Bytes data(65, 0x11);
  data.resize(sl(), 0);  // the rest of the mini stream sector stays zero
  expect_bytes(f, sector_offset(GetParam(), 3), data);
}

TEST_P(MiniTest, The65thMiniSectorGrowsTheMiniStream) {
  write_stream("a", 4095, 0x22);  // mini sectors 0..63
  write_stream("b", 1, 0x33);     // mini sector 64
  const Bytes f = file();
  const Bytes root = entry(f, 0);
  EXPECT_EQ(u64_at(root, 120), 4160u);
  EXPECT_EQ(u32_at(root, 116), 3u);
  // 4096 bytes of mini stream: one sector in version 4, eight in version 3;
  // mini sector 64 opens the next one.
  const uint32_t per_sector = static_cast<uint32_t>(sl() / 64);
  const uint32_t last = 3 + 64 / per_sector;
  EXPECT_EQ(f.size(), (last + 2) * sl());
  const uint64_t fat = sector_offset(GetParam(), 0);
  EXPECT_EQ(u32_at(f, fat + 4 * (last - 1)), last);
  EXPECT_EQ(u32_at(f, fat + 4 * last), ENDOFCHAIN);
  const Bytes b = entry(f, 2);
  EXPECT_EQ(u32_at(b, 116), 64u);
  EXPECT_EQ(f[sector_offset(GetParam(), last)], 0x33);
  EXPECT_EQ(f[sector_offset(GetParam(), last) + 1], 0);
  EXPECT_EQ(f[sector_offset(GetParam(), last) - 1], 0);  // end of stream a's last mini sector
  EXPECT_EQ(f[sector_offset(GetParam(), last) - 2], 0x22);
}

TEST_P(MiniTest, SecondMiniFatSectorAtEntryOnePerFatSector) {
  // A MiniFAT sector holds 1024 entries in version 4, 128 in version 3;
  // streams of 4095 bytes take 64 mini sectors each.
  const size_t entries = sl() / 4;
  for (size_t i = 0; i < entries / 64; ++i) {
    std::string name = std::to_string(i);
    name += 's';
    write_stream(name, 4095, 1);
  }
  Bytes f = file();
  EXPECT_EQ(u32_at(f, kOffsetMiniFatSectors), 1u);
  write_stream("last", 10, 2);
  f = file();
  EXPECT_EQ(u32_at(f, kOffsetMiniFatSectors), 2u);
  const uint32_t first = u32_at(f, kOffsetFirstMiniFatSector);
  EXPECT_EQ(first, 2u);
  const uint32_t second = u32_at(f, sector_offset(GetParam(), 0) + 4 * first);
  ASSERT_NE(second, ENDOFCHAIN);
  EXPECT_EQ(u32_at(f, sector_offset(GetParam(), 0) + 4 * second), ENDOFCHAIN);
  EXPECT_EQ(u32_at(f, sector_offset(GetParam(), second)), ENDOFCHAIN);  // entry 1024 (or 128)
  EXPECT_EQ(u32_at(f, sector_offset(GetParam(), second) + 4), FREESECT);
}

TEST_P(MiniTest, FreedMiniChainsAreTrimmedOrLeaveHolesReusedFirst) {
  write_stream("a", 130, 0xA);  // mini 0, 1, 2
  write_stream("b", 100, 0xB);  // mini 3, 4
  write_stream("c", 64, 0xC);   // mini 5
  {
    IoResult<Stream> c = cf_->create_stream("c");  // emptied: 5 is trimmed
    ASSERT_TRUE(c.ok());
  }
  Bytes f = file();
  EXPECT_EQ(u64_at(entry(f, 0), 120), 320u);
  EXPECT_EQ(u32_at(entry(f, 3), 116), ENDOFCHAIN);
  EXPECT_EQ(u64_at(entry(f, 3), 120), 0u);
  ASSERT_TRUE(cf_->create_stream("a")->close().ok());  // holes 0..2
  write_stream("d", 100, 0xD);  // reuses 0 and 1
  f = file();
  EXPECT_EQ(u64_at(entry(f, 0), 120), 320u);
  EXPECT_EQ(u32_at(entry(f, 4), 116), 0u);
  const uint64_t minifat = sector_offset(GetParam(), 2);
  const uint32_t want[] = {1, ENDOFCHAIN, FREESECT, 4, ENDOFCHAIN, FREESECT};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(u32_at(f, minifat + 4 * i), want[i]) << i;
  // Mini sector 1 of d: 36 bytes of d, then what a left behind.
  const uint64_t m1 = sector_offset(GetParam(), 3) + 64;
  EXPECT_EQ(f[m1 + 35], 0xD);
  EXPECT_EQ(f[m1 + 36], 0xA);
}

INSTANTIATE_TEST_SUITE_P(Versions, MiniTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

IoResult<MiniAllocator> mini_over(uint64_t root_size, std::vector<uint32_t> minifat) {
  Header header;
  static File unopened;  // the checks never write
  IoResult<Allocator> a = Allocator::create(Sectors(unopened, header, 2), {}, {0}, {FATSECT, ENDOFCHAIN});
  if (!a.ok()) return Err{a.error()};
  DirEntry root = DirEntry::empty_root_entry();
  root.stream_size = root_size;
  IoResult<Directory> d = Directory::create(std::move(a).take(), {root}, 1);
  if (!d.ok()) return Err{d.error()};
  return MiniAllocator::create(std::move(d).take(), std::move(minifat), ENDOFCHAIN);
}

TEST(MiniAllocatorCreateTest, RejectsMalformedMiniFats) {
  EXPECT_IO_ERROR(mini_over(64, {ENDOFCHAIN, ENDOFCHAIN}), ErrorKind::InvalidData,
                  "Malformed MiniFAT (MiniFAT has 2 entries, but root stream has only 1 mini sectors)");
  EXPECT_IO_ERROR(mini_over(192, {5, ENDOFCHAIN}), ErrorKind::InvalidData,
                  "Malformed MiniFAT (MiniFAT has 2 entries, but mini sector 0 points to 5)");
  EXPECT_IO_ERROR(mini_over(192, {2, 2, ENDOFCHAIN}), ErrorKind::InvalidData,
                  "Malformed MiniFAT (mini sector 2 pointed to twice)");
  EXPECT_TRUE(mini_over(0, {}).ok());
}

TEST(MiniAllocatorCreateTest, ChainsCheckTheirLinks) {
  IoResult<MiniAllocator> m = mini_over(192, {1, 0, FREESECT});
  ASSERT_TRUE(m.ok());
  EXPECT_IO_ERROR(MiniChain::open(*m, 0), ErrorKind::InvalidData,
                  "Minichain contained duplicate sector id 0");
  EXPECT_IO_ERROR(m->next_mini_sector(5), ErrorKind::InvalidData,
                  "Found reference to mini sector 5, but MiniFAT has only 3 entries");
  EXPECT_IO_ERROR(m->next_mini_sector(2), ErrorKind::InvalidData, "next_id (4294967295) is invalid");
  IoResult<MiniChain> empty = MiniChain::open(*m, ENDOFCHAIN);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->len(), 0u);
  EXPECT_TRUE(empty->seek(0).ok());
  EXPECT_IO_ERROR(empty->seek(1), ErrorKind::InvalidInput, "Cannot seek to 1, chain length is 0 bytes");
}

}  // namespace
}  // namespace cellvault::cfb
