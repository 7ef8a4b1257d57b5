// The directory: name order with the full upper-case mapping, path
// splitting, time stamps, inserting entries into the tree (bytes on disk),
// growth of the directory chain, and the checks on a directory handed in.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "cfb/internal/directory.h"
#include "cfb/internal/name.h"
#include "cfb/internal/path.h"
#include "cfb/internal/time.h"
#include "cfb_test_util.h"

namespace cellvault::cfb {
namespace {

using namespace internal;
using namespace cfb::testing;

TEST(CompareNamesTest, ShorterFirstThenUpperCaseBytes) {
  EXPECT_LT(compare_names("B", "aa"), 0);   // fewer UTF-16 units first
  EXPECT_EQ(compare_names("abc", "ABC"), 0);
  EXPECT_LT(compare_names("abc", "abd"), 0);
  EXPECT_GT(compare_names("b", "A"), 0);
  EXPECT_LT(compare_names("EncryptionInfo", "EncryptedPackage"), 0);
  EXPECT_EQ(compare_names("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"), 0);  // "été", "ÉTÉ"
  // Full mapping: "ß" upper-cases to "SS", "ﬁ" to "FI"; both are one unit.
  EXPECT_EQ(to_upper("stra\xC3\x9F" "e"), "STRASSE");
  EXPECT_EQ(to_upper("\xEF\xAC\x81" "le"), "FILE");
  EXPECT_GT(compare_names("\xC3\x9F" "a", "SS"), 0);  // "SSA" vs "SS": longer
  EXPECT_LT(compare_names("\xEF\xAC\x81", "G"), 0);   // "FI" vs "G"
  // Greek final sigma and dotless i keep their own upper forms.
  EXPECT_EQ(to_upper("\xCF\x82"), "\xCE\xA3");
  EXPECT_EQ(to_upper("\xC4\xB1"), "I");
  // A character above U+FFFF counts two units: U+10428 against "ab", and
  // its upper case U+10400 equal to it.
  EXPECT_EQ(utf16_len("\xF0\x90\x90\xA8"), 2u);
  EXPECT_GT(compare_names("\xF0\x90\x90\xA8", "ab"), 0);
  EXPECT_EQ(compare_names("\xF0\x90\x90\xA8", "\xF0\x90\x90\x80"), 0);
}

TEST(PathTest, SplitsLikeAFileSystemPath) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(*name_chain_from_path("EncryptionInfo"), Names{"EncryptionInfo"});
  EXPECT_EQ(*name_chain_from_path("/EncryptionInfo"), Names{"EncryptionInfo"});
  EXPECT_EQ(*name_chain_from_path("./EncryptionInfo"), Names{"EncryptionInfo"});
  EXPECT_EQ(*name_chain_from_path("a//b/./c/"), (Names{"a", "b", "c"}));
  EXPECT_EQ(*name_chain_from_path("a/../b"), Names{"b"});
  EXPECT_EQ(*name_chain_from_path(""), Names{});
  EXPECT_EQ(*name_chain_from_path("/"), Names{});
  EXPECT_EQ(*name_chain_from_path("."), Names{});
  EXPECT_IO_ERROR(name_chain_from_path(".."), ErrorKind::InvalidInput,
                  "Invalid path (must be within root)");
  EXPECT_IO_ERROR(name_chain_from_path("a/../.."), ErrorKind::InvalidInput,
                  "Invalid path (must be within root)");
  EXPECT_IO_ERROR(name_chain_from_path("a/\xFF"), ErrorKind::InvalidInput, "Non UTF-8 path");
  EXPECT_IO_ERROR(name_chain_from_path("\xED\xA0\x80"), ErrorKind::InvalidInput,
                  "Non UTF-8 path");  // an encoded surrogate
  EXPECT_IO_ERROR(name_chain_from_path("\xC0\xAF"), ErrorKind::InvalidInput,
                  "Non UTF-8 path");  // an overlong "/"
  EXPECT_EQ(path_from_name_chain(Names{}), "/");
  EXPECT_EQ(path_from_name_chain(Names{"a", "b"}), "/a/b");
}

TEST(TimeTest, FiletimeAtKnownDates) {
  using namespace std::chrono;
  EXPECT_EQ(filetime_from(system_clock::time_point{}), 116444736000000000ull);
  // 2000-01-01 00:00:00 UTC is 946684800 s after 1970.
  EXPECT_EQ(filetime_from(system_clock::time_point{seconds(946684800)}), 125911584000000000ull);
  EXPECT_EQ(filetime_from(system_clock::time_point{seconds(946684800) + nanoseconds(199)}),
            125911584000000001ull);
  EXPECT_EQ(filetime_from(system_clock::time_point{seconds(-1)}), 116444735990000000ull);
  EXPECT_GT(current_timestamp(), 133000000000000000ull);  // after 2022
}

// A directory over a new file's layout: FAT sector 0, directory sector 1.
class DirectoryTest : public ::testing::TestWithParam<Version> {
 protected:
  void SetUp() override {
    file_ = std::move(File::create(tmp_.path())).take();
    IoResult<Allocator> a = new_file_allocator(file_, GetParam(), SectorFill::kDirectory);
    ASSERT_TRUE(a.ok()) << a.error().render();
    IoResult<Directory> d = Directory::create(std::move(a).take(), {DirEntry::empty_root_entry()}, 1);
    ASSERT_TRUE(d.ok()) << d.error().render();
    dir_.emplace(std::move(d).take());
    dir_->mark_dirty(0);
    ASSERT_TRUE(dir_->commit().ok());
  }

  // The on-disk bytes of entry |id| of a one-sector directory at sector 1.
  Bytes disk_entry(uint32_t id) {
    return read_part(tmp_.path(), sector_offset(GetParam(), 1) + 128 * id, 128);
  }

  TempPath tmp_;
  File file_;
  std::optional<Directory> dir_;
};

TEST_P(DirectoryTest, TwoStreamsOfTheEncryptionDriver) {
  EXPECT_EQ(*dir_->insert_dir_entry(0, "EncryptionInfo", ObjType::kStream), 1u);
  EXPECT_EQ(*dir_->insert_dir_entry(0, "EncryptedPackage", ObjType::kStream), 2u);
  EXPECT_EQ(dir_->entry(0).child, 1u);
  EXPECT_EQ(dir_->entry(1).right_sibling, 2u);
  ASSERT_TRUE(dir_->commit().ok());

  const Bytes root = disk_entry(0);
  EXPECT_EQ(u32_at(root, 76), 1u);
  const Bytes e1 = disk_entry(1);
  Bytes name;
  for (char c : std::string("EncryptionInfo")) name.insert(name.end(), {uint8_t(c), 0});
  name.resize(64, 0);
  name.insert(name.end(), {30, 0, 2, 1});  // length 2*14+2, stream, black
  expect_bytes(e1, 0, name);
  EXPECT_EQ(u32_at(e1, 68), NOSTREAM);
  EXPECT_EQ(u32_at(e1, 72), 2u);
  EXPECT_EQ(u32_at(e1, 76), NOSTREAM);
  expect_bytes(e1, 80, Bytes(20, 0));                       // class id, state bits
  EXPECT_EQ(u64_at(e1, 100), u64_at(e1, 108));              // created = modified
  EXPECT_GT(u64_at(e1, 100), kUnixEpochFiletime);
  EXPECT_EQ(u32_at(e1, 116), ENDOFCHAIN);
  EXPECT_EQ(u64_at(e1, 120), 0u);
  const Bytes e2 = disk_entry(2);
  EXPECT_EQ(e2[64], 34);
  EXPECT_EQ(e2[67], 1);
  EXPECT_EQ(u32_at(e2, 68), NOSTREAM);
  EXPECT_EQ(u32_at(e2, 72), NOSTREAM);
  EXPECT_EQ(disk_entry(3)[64], 2);  // still unallocated
}

TEST_P(DirectoryTest, SmallerNameBecomesLeftSiblingAndStoragesStartAtZero) {
  ASSERT_TRUE(dir_->insert_dir_entry(0, "bb", ObjType::kStream).ok());
  EXPECT_EQ(*dir_->insert_dir_entry(0, "A", ObjType::kStorage), 2u);
  EXPECT_EQ(*dir_->insert_dir_entry(0, "CC", ObjType::kStream), 3u);
  EXPECT_EQ(*dir_->insert_dir_entry(2, "inner", ObjType::kStream), 4u);
  ASSERT_TRUE(dir_->commit().ok());
  const Bytes e1 = disk_entry(1);
  EXPECT_EQ(u32_at(e1, 68), 2u);
  EXPECT_EQ(u32_at(e1, 72), 3u);
  const Bytes e2 = disk_entry(2);
  EXPECT_EQ(e2[66], 1);
  EXPECT_EQ(u32_at(e2, 116), 0u);
  EXPECT_EQ(u32_at(e2, 76), 4u);
  const std::vector<std::string> path = {"A", "INNER"};
  EXPECT_EQ(dir_->lookup_name_chain(path), std::optional<uint32_t>(4));
  const std::vector<std::string> missing = {"A", "outer"};
  EXPECT_EQ(dir_->lookup_name_chain(missing), std::nullopt);
  EXPECT_EQ(dir_->lookup_name_chain({}), std::optional<uint32_t>(0));
  EXPECT_IO_ERROR(dir_->insert_dir_entry(0, "cc", ObjType::kStream), ErrorKind::Other,
                  "internal error: insert duplicate");
}

TEST_P(DirectoryTest, NamesLongerThan31UnitsAreRejected) {
  const std::string ok(31, 'x');
  EXPECT_TRUE(dir_->insert_dir_entry(0, ok, ObjType::kStream).ok());
  EXPECT_IO_ERROR(dir_->insert_dir_entry(0, std::string(32, 'y'), ObjType::kStream),
                  ErrorKind::InvalidInput,
                  "Name \"" + std::string(32, 'y') + "\" is too long (32 UTF-16 code units, at most 31 fit)");
  EXPECT_EQ(dir_->entry_count(), 2u);
  // 16 characters above U+FFFF are 32 units.
  std::string wide;
  for (int i = 0; i < 16; ++i) wide += "\xF0\x9F\x98\x80";
  EXPECT_EQ(dir_->insert_dir_entry(0, wide, ObjType::kStream).error().kind(),
            ErrorKind::InvalidInput);
  ASSERT_TRUE(dir_->commit().ok());
  EXPECT_EQ(disk_entry(1)[64], 64);  // the 31-unit name: 2 * 31 + 2
}

TEST_P(DirectoryTest, DirectoryChainGrowsWhenItsSectorIsFull) {
  // 32 entries per sector in version 4, 4 in version 3.
  const size_t per = sector_len(GetParam()) / 128;
  for (size_t i = 1; i < per; ++i) {
    std::string name = std::to_string(100 + i);
    name += 's';
    ASSERT_TRUE(dir_->insert_dir_entry(0, name, ObjType::kStream).ok());
  }
  ASSERT_TRUE(dir_->commit().ok());
  EXPECT_EQ(read_part(tmp_.path(), 0, 512).size(), 512u);
  EXPECT_EQ(u32_at(read_part(tmp_.path(), 0, 512), kOffsetDirSectors),
            GetParam() == Version::V4 ? 1u : 0u);
  EXPECT_EQ(*dir_->insert_dir_entry(0, "next", ObjType::kStream), per);
  ASSERT_TRUE(dir_->commit().ok());
  EXPECT_EQ(dir_->allocator().fat()[1], 2u);
  EXPECT_EQ(dir_->allocator().fat()[2], ENDOFCHAIN);
  const Bytes head = read_part(tmp_.path(), 0, 512);
  // Version 4 keeps the count of directory sectors; version 3 keeps 0.
  EXPECT_EQ(u32_at(head, kOffsetDirSectors), GetParam() == Version::V4 ? 2u : 0u);
  const Bytes fat = read_part(tmp_.path(), sector_offset(GetParam(), 0), 12);
  EXPECT_EQ(u32_at(fat, 4), 2u);
  EXPECT_EQ(u32_at(fat, 8), ENDOFCHAIN);
  const Bytes second = read_part(tmp_.path(), sector_offset(GetParam(), 2), 256);
  Bytes name = {'n', 0, 'e', 0, 'x', 0, 't', 0};
  expect_bytes(second, 0, name);
  EXPECT_EQ(second[128 + 64], 2);  // the rest of the sector is unallocated entries
}

INSTANTIATE_TEST_SUITE_P(Versions, DirectoryTest, ::testing::Values(Version::V3, Version::V4),
                         version_name);

DirEntry named(const char* name, ObjType type) { return DirEntry::make(name, type, 0); }

TEST(DirectoryCreateTest, RejectsMalformedDirectories) {
  struct Case {
    std::vector<DirEntry> entries;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({{}, "root entry is missing"});
  {
    DirEntry root = DirEntry::empty_root_entry();
    root.stream_size = 100;
    cases.push_back({{root}, "root stream len is 100, but should be multiple of 64"});
  }
  cases.push_back({{named("x", ObjType::kStream)}, "root entry has object type Stream"});
  {
    DirEntry root = DirEntry::empty_root_entry();
    root.child = 1;
    cases.push_back({{root, DirEntry::unallocated()}, "non-root entry with object type Unallocated"});
    cases.push_back({{root}, "child index is 1, but directory entry count is 1"});
    DirEntry a = named("b", ObjType::kStream);
    a.left_sibling = 5;
    cases.push_back({{root, a}, "left sibling index is 5, but directory entry count is 2"});
    a.left_sibling = NOSTREAM;
    a.right_sibling = 7;
    cases.push_back({{root, a}, "right sibling index is 7, but directory entry count is 2"});
    a.right_sibling = 2;
    cases.push_back({{root, a, named("a", ObjType::kStream)}, "name ordering, \"b\" vs \"a\""});
    a.right_sibling = NOSTREAM;
    a.left_sibling = 2;
    cases.push_back({{root, a, named("c", ObjType::kStream)}, "name ordering, \"b\" vs \"c\""});
    a.left_sibling = NOSTREAM;
    a.child = 1;
    cases.push_back({{root, a}, "loop in tree"});
  }
  File unopened;
  for (Case& c : cases) {
    Header header;
    IoResult<Allocator> a = Allocator::create(Sectors(unopened, header, 2), {}, {0}, {FATSECT, ENDOFCHAIN});
    ASSERT_TRUE(a.ok());
    EXPECT_IO_ERROR(Directory::create(std::move(a).take(), c.entries, 1), ErrorKind::InvalidData,
                    "Malformed directory (" + c.message + ")");
  }
}

}  // namespace
}  // namespace cellvault::cfb
