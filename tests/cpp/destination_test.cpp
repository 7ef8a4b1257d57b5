// Tests of the one answer to "may this destination be written?": what it
// refuses, in which order, and how it follows links to the name it answers
// for. Each test works in a fresh directory.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/destination.h"

namespace cellvault {
namespace {

namespace fs = std::filesystem;

class DestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path() / "cellvault-dest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(DestinationTest, DirectoryInTheWayIsNeverAnsweredAsAnExistingFile) {
  fs::create_directories(at("real/inner"));
  fs::create_directory_symlink("real", at("link"));
  fs::create_symlink("link", at("link2"));
  std::ofstream(at("file")) << "x";
  // A directory, reached through links or not, is IsADirectory whether or
  // not replacing is allowed: replacing could not help there.
  for (const char* name : {"real", "link", "link2"}) {
    for (bool replace : {false, true}) {
      auto r = writable_destination(at(name), replace);
      ASSERT_FALSE(r.ok()) << name;
      EXPECT_EQ(r.error().os_error(), EISDIR) << name << " " << replace;
      EXPECT_EQ(r.error().kind(), ErrorKind::IsADirectory) << name;
    }
  }
  // Anything else that exists is refused only without replacing.
  for (const std::string& path : {at("file"), std::string("/dev/null")}) {
    auto kept = writable_destination(path, false);
    ASSERT_FALSE(kept.ok()) << path;
    EXPECT_EQ(kept.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(kept.error().os_error(), 0);
    EXPECT_EQ(kept.error().message(), "destination exists");
    auto replaced = writable_destination(path, true);
    ASSERT_TRUE(replaced.ok()) << path;
    EXPECT_TRUE(replaced->exists);
  }
  // A dangling link replaces nothing: it leads to the name it would create.
  fs::create_symlink("real/made", at("dangling"));
  auto dangling = writable_destination(at("dangling"), false);
  ASSERT_TRUE(dangling.ok());
  EXPECT_FALSE(dangling->exists);
  EXPECT_EQ(dangling->name, "made");
  EXPECT_FALSE(fs::exists(at("real/made")));
}

TEST_F(DestinationTest, LinkTargetsOfAnyLengthAreReadWhole) {
  // The target is first read into 256 bytes; a target that fills them may
  // have been cut and is read again with more room. "./" steps make
  // targets of every length around that boundary lead to t/target.
  fs::create_directory(at("t"));
  std::ofstream(at("t/target")) << "x";
  struct stat want;
  ASSERT_EQ(stat(at("t").c_str(), &want), 0);
  for (size_t length : {255u, 256u, 257u, 511u, 512u, 513u, 1000u}) {
    // "t/target" is 8 bytes, "t//target" 9: the steps fill the rest.
    const std::string tail = length % 2 == 0 ? "t/target" : "t//target";
    std::string target;
    while (target.size() + tail.size() < length) target += "./";
    target += tail;
    ASSERT_EQ(target.size(), length);
    const std::string link = at("l" + std::to_string(length));
    fs::create_symlink(target, link);

    auto r = writable_destination(link, true);
    ASSERT_TRUE(r.ok()) << length;
    EXPECT_EQ(r->name, "target") << length;
    EXPECT_TRUE(r->exists) << length;
    struct stat got;
    ASSERT_EQ(fstat(r->dir.fd(), &got), 0);
    EXPECT_EQ(got.st_ino, want.st_ino) << length;
  }
}

}  // namespace
}  // namespace cellvault
