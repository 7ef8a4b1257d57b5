// The bottom layer: a new file's header, FAT and directory sectors byte by
// byte, and sector initialisation.

#include <gtest/gtest.h>

#include "cfb/compound_file.h"
#include "cfb/internal/sector.h"
#include "cfb_test_util.h"

namespace cellvault::cfb {
namespace {

using namespace internal;
using namespace cfb::testing;

class NewFileTest : public ::testing::TestWithParam<Version> {};

TEST_P(NewFileTest, HeaderFatAndDirectorySectorsOfAnEmptyFile) {
  const Version v = GetParam();
  const size_t sl = sector_len(v);
  TempPath tmp;
  {
    IoResult<CompoundFile> cf = create_with_path(tmp.path(), v);
    ASSERT_TRUE(cf.ok()) << cf.error().render();
  }
  const Bytes got = read_file(tmp.path());
  // 12288 bytes in version 4, 1536 in version 3.
  ASSERT_EQ(got.size(), 3 * sl);

  // The header, worked out by hand from the field table.
  Bytes head = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  head.insert(head.end(), 16, 0);                        // class id
  head.insert(head.end(), {0x3E, 0x00});                 // minor version
  head.insert(head.end(), {uint8_t(v == Version::V4 ? 4 : 3), 0x00});
  head.insert(head.end(), {0xFE, 0xFF});                 // byte order
  head.insert(head.end(), {uint8_t(v == Version::V4 ? 12 : 9), 0x00});
  head.insert(head.end(), {0x06, 0x00});                 // mini sector shift
  head.insert(head.end(), 6, 0);                         // reserved
  // Directory sectors: 1 in version 4, always 0 in version 3.
  head.insert(head.end(), {uint8_t(v == Version::V4 ? 1 : 0), 0, 0, 0});
  head.insert(head.end(), {1, 0, 0, 0});                 // FAT sectors
  head.insert(head.end(), {1, 0, 0, 0});                 // first directory sector
  head.insert(head.end(), {0, 0, 0, 0});                 // transaction
  head.insert(head.end(), {0x00, 0x10, 0, 0});           // cutoff 4096
  head.insert(head.end(), {0xFE, 0xFF, 0xFF, 0xFF});     // first MiniFAT
  head.insert(head.end(), {0, 0, 0, 0});                 // MiniFAT sectors
  head.insert(head.end(), {0xFE, 0xFF, 0xFF, 0xFF});     // first DIFAT
  head.insert(head.end(), {0, 0, 0, 0});                 // DIFAT sectors
  head.insert(head.end(), {0, 0, 0, 0});                 // DIFAT[0] = 0
  for (int i = 1; i < 109; ++i) head.insert(head.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(head.size(), 512u);
  head.resize(sl, 0);  // version 4 pads the header block with zeros
  expect_bytes(got, 0, head);

  Bytes fat = {0xFD, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF};
  fat.resize(sl, 0xFF);
  expect_bytes(got, sl, fat);

  // "Root Entry" in UTF-16LE, zero padded to 64 bytes.
  Bytes root;
  for (char c : std::string("Root Entry")) root.insert(root.end(), {uint8_t(c), 0});
  root.resize(64, 0);
  root.insert(root.end(), {22, 0, 5, 1});
  root.insert(root.end(), 12, 0xFF);
  root.insert(root.end(), 16 + 4 + 8 + 8, 0);
  root.insert(root.end(), {0xFE, 0xFF, 0xFF, 0xFF});
  root.insert(root.end(), 8, 0);
  Bytes unallocated(64, 0);
  unallocated.insert(unallocated.end(), {2, 0, 0, 0});
  unallocated.insert(unallocated.end(), 12, 0xFF);
  unallocated.insert(unallocated.end(), 48, 0);
  Bytes dir = root;
  while (dir.size() < sl) dir.insert(dir.end(), unallocated.begin(), unallocated.end());
  expect_bytes(got, 2 * sl, dir);
}

TEST_P(NewFileTest, ExistingFileIsTruncated) {
  TempPath tmp;
  {
    IoResult<File> f = File::create(tmp.path());
    ASSERT_TRUE(f.ok());
    Bytes junk(100000, 0xAB);
    ASSERT_TRUE(f->write_at(junk, 0).ok());
  }
  ASSERT_TRUE(create_with_path(tmp.path(), GetParam()).ok());
  EXPECT_EQ(read_file(tmp.path()).size(), 3 * sector_len(GetParam()));
}

TEST(NewFileTest, MissingDirectoryIsTheOsError) {
  IoResult<CompoundFile> cf = create_with_path("/nonexistent-dir-cellvault/x.cfb");
  ASSERT_FALSE(cf.ok());
  EXPECT_EQ(cf.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(cf.error().os_error(), ENOENT);
}

INSTANTIATE_TEST_SUITE_P(Versions, NewFileTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

class SectorsTest : public ::testing::TestWithParam<Version> {
 protected:
  Sectors open_sectors(const TempPath& tmp) {
    IoResult<File> f = File::create(tmp.path());
    EXPECT_TRUE(f.ok());
    file_ = std::move(f).take();
    Header header;
    header.version = GetParam();
    return Sectors(file_, header, 0);
  }

  File file_;
};

TEST_P(SectorsTest, InitSectorAppendsOneSectorAndRejectsAGap) {
  TempPath tmp;
  Sectors sectors = open_sectors(tmp);
  const size_t sl = sector_len(GetParam());
  ASSERT_TRUE(sectors.init_sector(0, SectorFill::kZero).ok());
  ASSERT_TRUE(sectors.init_sector(1, SectorFill::kDifat).ok());
  ASSERT_TRUE(sectors.commit().ok());
  EXPECT_EQ(sectors.sector_count(), 2u);
  EXPECT_EQ(read_file(tmp.path()).size(), 3 * sl);

  EXPECT_IO_ERROR(sectors.init_sector(3, SectorFill::kZero), ErrorKind::InvalidData,
                  "Tried to initialize sector 3, but sector count is only 2");
  ASSERT_TRUE(sectors.commit().ok());
  EXPECT_EQ(sectors.sector_count(), 2u);
  EXPECT_EQ(read_file(tmp.path()).size(), 3 * sl);
  EXPECT_IO_ERROR(sectors.check_sector(2), ErrorKind::InvalidData,
                  "Tried to seek to sector 2, but sector count is only 2");

  // Overwriting an existing sector does not grow the file.
  ASSERT_TRUE(sectors.init_sector(0, SectorFill::kFat).ok());
  ASSERT_TRUE(sectors.commit().ok());
  EXPECT_EQ(sectors.sector_count(), 2u);

  const Bytes got = read_file(tmp.path());
  Bytes fat(sl, 0xFF);
  expect_bytes(got, sl, fat);
  // The DIFAT fill ends with the ENDOFCHAIN link (offset 4092 in version 4).
  Bytes difat(sl - 4, 0xFF);
  difat.insert(difat.end(), {0xFE, 0xFF, 0xFF, 0xFF});
  expect_bytes(got, 2 * sl, difat);
}

INSTANTIATE_TEST_SUITE_P(Versions, SectorsTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

}  // namespace
}  // namespace cellvault::cfb
