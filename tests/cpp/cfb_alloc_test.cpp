// The FAT allocator and chains: which sector is handed out when, the FAT
// and DIFAT sectors added as the table grows, reuse of freed sectors, chain
// positioning and growth, and the checks on a FAT that is handed in.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "cfb/internal/alloc.h"
#include "cfb/internal/chain.h"
#include "cfb_test_util.h"

namespace cellvault::cfb {
namespace {

using namespace internal;
using namespace cfb::testing;

// A file with FAT sector 0 and a one-sector chain at 1, as a new compound
// file has.
class AllocTest : public ::testing::TestWithParam<Version> {
 protected:
  void SetUp() override {
    file_ = std::move(File::create(tmp_.path())).take();
    IoResult<Allocator> a = new_file_allocator(file_, GetParam(), SectorFill::kZero);
    ASSERT_TRUE(a.ok()) << a.error().render();
    alloc_.emplace(std::move(a).take());
  }

  size_t e() const { return sector_len(GetParam()) / 4; }
  uint64_t fat_entry_offset(uint32_t fat_sector, size_t i) {
    return sector_offset(GetParam(), fat_sector) + 4 * i;
  }
  uint32_t disk_u32(uint64_t offset) { return u32_at(read_part(tmp_.path(), offset, 4), 0); }

  TempPath tmp_;
  File file_;
  std::optional<Allocator> alloc_;
};

TEST_P(AllocTest, FirstSectorsHandedOutAreTwoThenThree) {
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), 2u);
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), 3u);
  ASSERT_TRUE(alloc_->commit().ok());
  EXPECT_EQ(disk_u32(fat_entry_offset(0, 2)), ENDOFCHAIN);
  EXPECT_EQ(disk_u32(fat_entry_offset(0, 3)), ENDOFCHAIN);
  EXPECT_EQ(disk_u32(fat_entry_offset(0, 4)), FREESECT);
}

TEST_P(AllocTest, AddsSecondFatSectorWhenTheFirstIsFull) {
  // 1024 entries per FAT sector in version 4, 128 in version 3.
  while (alloc_->fat().size() < e()) ASSERT_TRUE(alloc_->allocate_unfilled().ok());
  const auto fat1 = static_cast<uint32_t>(e());
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), fat1 + 1);
  EXPECT_EQ(alloc_->fat_sectors(), (std::vector<uint32_t>{0, fat1}));
  ASSERT_TRUE(alloc_->commit().ok());
  EXPECT_EQ(disk_u32(kOffsetFatSectors), 2u);
  EXPECT_EQ(disk_u32(kOffsetDifat + 4), fat1);
  EXPECT_EQ(disk_u32(kOffsetDifat + 8), FREESECT);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat1, 0)), FATSECT);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat1, 1)), ENDOFCHAIN);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat1, 2)), FREESECT);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat1, e() - 1)), FREESECT);
  EXPECT_EQ(disk_u32(kOffsetFirstDifatSector), ENDOFCHAIN);
}

TEST_P(AllocTest, FirstDifatSectorComesWithFatSector109) {
  // FAT sector 109 lies at id 109 * E (111616 in version 4, 13952 in
  // version 3) and the first DIFAT sector right after it.
  const auto fat109 = static_cast<uint32_t>(109 * e());
  while (alloc_->fat().size() < fat109) ASSERT_TRUE(alloc_->allocate_unfilled().ok());
  EXPECT_EQ(alloc_->fat_sectors().size(), 109u);
  EXPECT_EQ(*alloc_->allocate_unfilled(), fat109 + 2);
  EXPECT_EQ(alloc_->fat_sectors().back(), fat109);
  EXPECT_EQ(alloc_->difat_sectors(), (std::vector<uint32_t>{fat109 + 1}));
  ASSERT_TRUE(alloc_->commit().ok());
  EXPECT_EQ(disk_u32(kOffsetFatSectors), 110u);
  EXPECT_EQ(disk_u32(kOffsetFirstDifatSector), fat109 + 1);
  EXPECT_EQ(disk_u32(kOffsetDifatSectors), 1u);
  EXPECT_EQ(disk_u32(kOffsetDifat + 4 * 108), 108 * e());
  const uint64_t difat = sector_offset(GetParam(), fat109 + 1);
  EXPECT_EQ(disk_u32(difat), fat109);
  EXPECT_EQ(disk_u32(difat + 4), FREESECT);
  EXPECT_EQ(disk_u32(difat + 4 * (e() - 1)), ENDOFCHAIN);  // the link
  EXPECT_EQ(disk_u32(fat_entry_offset(fat109, 0)), FATSECT);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat109, 1)), DIFSECT);
  EXPECT_EQ(disk_u32(fat_entry_offset(fat109, 2)), ENDOFCHAIN);
}

TEST(AllocV3Test, SecondDifatSectorIsLinkedFromTheFirst) {
  // Version 3: a DIFAT sector holds 127 FAT sector ids, so FAT sector 236
  // (id 30208) brings DIFAT sector 2 at id 30209.
  TempPath tmp;
  IoResult<File> f = File::create(tmp.path());
  ASSERT_TRUE(f.ok());
  Header header;
  header.version = Version::V3;
  header.num_fat_sectors = 1;
  header.difat[0] = 0;
  Sectors sectors(*f, header, 0);
  ASSERT_TRUE(sectors.init_sector(0, SectorFill::kFat).ok());
  ASSERT_TRUE(sectors.init_sector(1, SectorFill::kZero).ok());
  IoResult<Allocator> a = Allocator::create(std::move(sectors), {}, {0}, {FATSECT, ENDOFCHAIN});
  ASSERT_TRUE(a.ok());
  while (a->fat_sectors().size() < 237) ASSERT_TRUE(a->allocate_unfilled().ok());
  EXPECT_EQ(a->difat_sectors(), (std::vector<uint32_t>{13953, 30209}));
  ASSERT_TRUE(a->commit().ok());
  const Bytes head = read_part(tmp.path(), 0, 512);
  EXPECT_EQ(u32_at(head, kOffsetFirstDifatSector), 13953u);
  EXPECT_EQ(u32_at(head, kOffsetDifatSectors), 2u);
  EXPECT_EQ(u32_at(head, kOffsetFatSectors), 237u);
  const Bytes d1 = read_part(tmp.path(), (13953 + 1) * 512, 512);
  EXPECT_EQ(u32_at(d1, 0), 13952u);
  EXPECT_EQ(u32_at(d1, 4 * 126), 235u * 128);
  EXPECT_EQ(u32_at(d1, 4 * 127), 30209u);
  const Bytes d2 = read_part(tmp.path(), (30209 + 1) * 512, 512);
  EXPECT_EQ(u32_at(d2, 0), 30208u);
  EXPECT_EQ(u32_at(d2, 4), FREESECT);
  EXPECT_EQ(u32_at(d2, 4 * 127), ENDOFCHAIN);
}

TEST_P(AllocTest, FreedSectorsAreReusedLowestFirst) {
  const size_t sl = sector_len(GetParam());
  // Chains stage views of the bytes: they must live until the commit.
  const Bytes aa(3 * sl, 0xAA), bb(sl + 10, 0x55);
  Chain a = Chain::from_ids(*alloc_, {}, SectorFill::kZero);
  ASSERT_TRUE(a.write_all(aa).ok());
  EXPECT_EQ(a.ids(), (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), 5u);
  ASSERT_TRUE(alloc_->free_chain(2).ok());
  EXPECT_EQ(alloc_->fat()[2], FREESECT);
  EXPECT_EQ(alloc_->fat()[4], FREESECT);

  // A new chain takes 2 and 3; its last sector, only partly written, gets
  // the rest zero-filled although the freed sector held 0xAA.
  Chain b = Chain::from_ids(*alloc_, {}, SectorFill::kZero);
  ASSERT_TRUE(b.write_all(bb).ok());
  EXPECT_EQ(b.ids(), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), 4u);
  EXPECT_EQ(*alloc_->allocate_sector(SectorFill::kZero), 6u);
  ASSERT_TRUE(alloc_->commit().ok());
  Bytes want(sl, 0);
  std::fill_n(want.begin(), 10, 0x55);
  const Bytes got = read_part(tmp_.path(), sector_offset(GetParam(), 3), sl);
  EXPECT_EQ(hex(ByteView(got).first(16)), hex(ByteView(want).first(16)));
  EXPECT_EQ(got, want);
  EXPECT_EQ(disk_u32(fat_entry_offset(0, 2)), 3u);
  EXPECT_EQ(disk_u32(fat_entry_offset(0, 3)), ENDOFCHAIN);
}

TEST_P(AllocTest, ChainGrowsAtItsEndAndSkipsFatSectors) {
  const size_t sl = sector_len(GetParam());
  const Bytes ones(sl, 1), two(1, 2), threes((e() - 2) * sl, 3);
  Chain c = Chain::from_ids(*alloc_, {}, SectorFill::kZero);
  ASSERT_TRUE(c.write_all(ones).ok());
  EXPECT_EQ(c.ids().size(), 1u);
  ASSERT_TRUE(c.seek(sl).ok());
  EXPECT_IO_ERROR(c.seek(sl + 1), ErrorKind::InvalidInput,
                  "Cannot seek to " + std::to_string(sl + 1) + ", chain length is " +
                      std::to_string(sl) + " bytes");
  ASSERT_TRUE(c.write_all(two).ok());
  EXPECT_EQ(c.ids(), (std::vector<uint32_t>{2, 3}));

  // Grow across the second FAT sector at id E: the chain skips it.
  ASSERT_TRUE(c.seek(c.len()).ok());
  ASSERT_TRUE(c.write_all(threes).ok());
  const std::vector<uint32_t>& ids = c.ids();
  ASSERT_EQ(ids.size(), e());
  EXPECT_EQ(ids[e() - 3], e() - 1);
  EXPECT_EQ(ids[e() - 2], e() + 1);
  ASSERT_TRUE(alloc_->commit().ok());
  EXPECT_EQ(disk_u32(fat_entry_offset(0, e() - 1)), e() + 1);
  EXPECT_EQ(disk_u32(fat_entry_offset(static_cast<uint32_t>(e()), 0)), FATSECT);
}

INSTANTIATE_TEST_SUITE_P(Versions, AllocTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

struct BadFat {
  std::vector<uint32_t> difat_sectors;
  std::vector<uint32_t> fat_sectors;
  std::vector<uint32_t> fat;
  const char* message;
};

TEST(AllocatorCreateTest, RejectsMalformedFats) {
  const BadFat cases[] = {
      {{}, {0}, std::vector<uint32_t>(11, FREESECT),
       "Malformed FAT (FAT has 11 entries, but file has only 10 sectors)"},
      {{12}, {0}, {FATSECT, ENDOFCHAIN},
       "Malformed FAT (FAT has 2 entries, but DIFAT lists 12 as a DIFAT sector)"},
      {{1}, {0}, {FATSECT, ENDOFCHAIN},
       "Malformed FAT (DIFAT sector 1 is not marked as such in the FAT)"},
      {{}, {5}, {FATSECT, ENDOFCHAIN},
       "Malformed FAT (FAT has 2 entries, but DIFAT lists 5 as a FAT sector)"},
      {{}, {0, 1}, {FATSECT, ENDOFCHAIN},
       "Malformed FAT (FAT sector 1 is not marked as such in the FAT)"},
      {{}, {0}, {FATSECT, 7}, "Malformed FAT (FAT has 2 entries, but sector 1 points to 7)"},
      {{}, {0}, {FATSECT, 3, 3, ENDOFCHAIN}, "Malformed FAT (sector 3 pointed to twice)"},
      {{}, {0}, {FATSECT, 0xFFFFFFFB}, "Malformed FAT (0xFFFFFFFB is not a valid FAT entry)"},
  };
  File unopened;
  for (const BadFat& c : cases) {
    Header header;
    Sectors sectors(unopened, header, 10);
    EXPECT_IO_ERROR(Allocator::create(std::move(sectors), c.difat_sectors, c.fat_sectors, c.fat),
                    ErrorKind::InvalidData, c.message);
  }
}

TEST(AllocatorCreateTest, NextAndChainsCheckTheirLinks) {
  Header header;
  File unopened;
  IoResult<Allocator> a = Allocator::create(Sectors(unopened, header, 10), {}, {0},
                                            {FATSECT, ENDOFCHAIN, 3, 2, FREESECT});
  ASSERT_TRUE(a.ok());
  EXPECT_IO_ERROR(a->next(4), ErrorKind::InvalidData, "next_id (4294967295) is invalid");
  EXPECT_IO_ERROR(a->next(0), ErrorKind::InvalidData, "next_id (4294967293) is invalid");
  EXPECT_IO_ERROR(a->next(9), ErrorKind::InvalidData,
                  "Found reference to sector 9, but FAT has only 5 entries");
  EXPECT_IO_ERROR(Chain::open(*a, 2, SectorFill::kZero), ErrorKind::InvalidData,
                  "Chain contained duplicate sector id 2");
  IoResult<Chain> empty = Chain::open(*a, ENDOFCHAIN, SectorFill::kZero);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->first_id(), ENDOFCHAIN);
  EXPECT_EQ(empty->len(), 0u);
}

}  // namespace
}  // namespace cellvault::cfb
