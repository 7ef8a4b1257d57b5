// Tests of writing the destination through a temporary file: what the
// destination looks like after success, after failure and after abandoning,
// and which errors a bad destination gives (writable_destination, the
// answer that the command line asks for too). Each test works in a fresh
// directory; umask changes, lowered privileges and file size limits happen
// in forked children only.

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/abort.h"
#include "common/atomic_output.h"
#include "common/destination.h"
#include "write_counter.h"

namespace cellvault {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// write_all writes |text| through |out| and commits.
IoResult<void> write_all(AtomicOutput& out, const std::string& text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  CV_TRY(out.file().write_at(ByteView(p, text.size()), 0));
  return out.commit();
}

IoResult<void> replace_with(const std::string& path, const std::string& text,
                            bool replace_existing = true) {
  CV_TRY_ASSIGN(AtomicOutput out, AtomicOutput::begin(path, replace_existing));
  return write_all(out, text);
}

// run_child runs |body| in a forked child and returns its exit code.
template <class F>
int run_child(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The exit code of a child: 0 for success, else the OS error (or 99).
int code_of(const IoResult<void>& r) {
  if (r.ok()) return 0;
  return r.error().os_error() != 0 ? r.error().os_error() : 99;
}

// drop_privileges makes a root process an unprivileged user, so that
// permission checks apply to it; other processes are left as they are.
bool drop_privileges() {
  if (geteuid() != 0) return true;
  return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
         setuid(kNobody) == 0;
}

class AtomicOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path() / "cellvault-out-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    // Open to every user: some tests run their writer unprivileged.
    chmod(dir_.c_str(), 0755);
  }
  void TearDown() override {
    for (auto& e : fs::recursive_directory_iterator(dir_)) {
      if (e.is_directory(ignore_) && !e.is_symlink(ignore_)) {
        chmod(e.path().c_str(), 0755);
      }
    }
    fs::remove_all(dir_);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  // names lists a directory, so a test can see leftover temporary files.
  std::set<std::string> names(const std::string& dir = "") const {
    std::set<std::string> out;
    for (auto& e : fs::directory_iterator(dir.empty() ? dir_ : dir)) {
      out.insert(e.path().filename());
    }
    return out;
  }

  std::string dir_;
  std::error_code ignore_;
};

TEST_F(AtomicOutputTest, NewFileGetsModeLessUmaskAndNoLeftovers) {
  for (mode_t mask : {mode_t{022}, mode_t{027}, mode_t{0}}) {
    const std::string path = at("new" + std::to_string(mask));
    ASSERT_EQ(run_child([&] {
                umask(mask);
                return code_of(replace_with(path, "fresh"));
              }),
              0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "umask " << mask;
    EXPECT_EQ(slurp(path), "fresh");
  }
  EXPECT_EQ(names(), (std::set<std::string>{"new0", "new18", "new23"}));
}

TEST_F(AtomicOutputTest, ExistingFileIsReplacedKeepingModeAndOwner) {
  const std::string path = at("old");
  spit(path, "old bytes that are longer");
  // Bits the umask (022 by default) would clear must come back too; the
  // set-user-ID and set-group-ID bits must not.
  chmod(path.c_str(), 06662);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  }
  struct stat before;
  stat(path.c_str(), &before);

  ASSERT_TRUE(replace_with(path, "new").ok());
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(slurp(path), "new");
  EXPECT_EQ(after.st_mode & 07777, 0662u);
  // A new inode shows the bytes came through a rename, not a truncation.
  EXPECT_NE(after.st_ino, before.st_ino);
  if (root) {
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_gid, kNobody);
  }
  EXPECT_EQ(names(), std::set<std::string>{"old"});
}

TEST_F(AtomicOutputTest, SymbolicLinksSurviveAndTheirTargetsAreReplaced) {
  fs::create_directories(at("a/b"));
  fs::create_directories(at("t"));
  spit(at("t/target"), "old");
  // abs -> rel (in a/b, relative to a/b, not to the working directory)
  // -> ../../t/target.
  fs::create_symlink(at("a/b/rel"), at("abs"));
  fs::create_symlink("../../t/target", at("a/b/rel"));
  {
    AtomicOutput out = unwrap(AtomicOutput::begin(at("abs")));
    // The temporary file lies beside the final target, hidden, or has no
    // name there yet.
    ASSERT_EQ(names(at("t")).count(out.temp_name()), out.unnamed() ? 0u : 1u);
    EXPECT_EQ(out.temp_name().front(), '.');
    ASSERT_TRUE(write_all(out, "through links").ok());
  }
  EXPECT_TRUE(fs::is_symlink(at("abs")));
  EXPECT_TRUE(fs::is_symlink(at("a/b/rel")));
  EXPECT_EQ(slurp(at("t/target")), "through links");
  EXPECT_EQ(names(at("t")), std::set<std::string>{"target"});

  // A dangling link: its target is created and the link kept.
  fs::create_symlink("t/made", at("dangling"));
  ASSERT_TRUE(replace_with(at("dangling"), "made").ok());
  EXPECT_TRUE(fs::is_symlink(at("dangling")));
  EXPECT_EQ(slurp(at("t/made")), "made");
}

TEST_F(AtomicOutputTest, DevicesAndFifosAreWrittenInPlace) {
  {
    AtomicOutput out = unwrap(AtomicOutput::begin("/dev/null"));
    EXPECT_TRUE(out.in_place());
    ASSERT_TRUE(write_all(out, "discarded").ok());
  }
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // A FIFO is written in order, from the start, once a reader has opened
  // it; it is never replaced by a file. The writer builds the output with
  // random access: the last bytes first.
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    const int fd = open(at("fifo").c_str(), O_RDONLY);
    char got[16] = {};
    const ssize_t n = read(fd, got, sizeof(got));
    _exit(n == 8 && std::string(got, 8) == "pipe in " ? 0 : 1);
  }
  {
    AtomicOutput out = unwrap(AtomicOutput::begin(at("fifo")));
    EXPECT_TRUE(out.in_place());
    ASSERT_TRUE(out.file().write_at(ByteView(reinterpret_cast<const uint8_t*>("in "), 3), 5).ok());
    ASSERT_TRUE(out.file().write_at(ByteView(reinterpret_cast<const uint8_t*>("pipe "), 5), 0).ok());
    ASSERT_TRUE(out.commit().ok());
  }
  int status = -1;
  waitpid(reader, &status, 0);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(lstat(at("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(names(), std::set<std::string>{"fifo"});
}

TEST_F(AtomicOutputTest, OwnDescriptorsAreWrittenAtTheirPosition) {
  // Through /proc/self/fd the bytes go to the descriptor itself: an
  // append-mode file keeps its old contents, a file open at an offset gets
  // them from there on and nothing of its old contents after them, and a
  // deleted file gets them with no file made under any name.
  spit(at("log"), "old log\n");
  spit(at("rw"), "0123456789abcdef");
  spit(at("gone"), "");
  const int log = open(at("log").c_str(), O_WRONLY | O_APPEND);
  const int rw = open(at("rw").c_str(), O_RDWR);
  const int gone = open(at("gone").c_str(), O_RDWR);
  ASSERT_EQ(lseek(rw, 4, SEEK_SET), 4);
  ASSERT_EQ(unlink(at("gone").c_str()), 0);
  for (int fd : {log, rw, gone}) {
    ASSERT_TRUE(replace_with("/proc/self/fd/" + std::to_string(fd), "new").ok()) << fd;
  }
  EXPECT_EQ(slurp(at("log")), "old log\nnew");
  EXPECT_EQ(slurp(at("rw")), "0123new");
  char got[8] = {};
  EXPECT_EQ(pread(gone, got, sizeof(got), 0), 3);
  EXPECT_EQ(std::string(got), "new");
  EXPECT_EQ(names(), (std::set<std::string>{"log", "rw"}));
  for (int fd : {log, rw, gone}) close(fd);
}

TEST_F(AtomicOutputTest, BadDestinationsGiveThePlainCreateErrors) {
  fs::create_directory(at("d"));
  spit(at("file"), "x");
  fs::create_symlink("loop2", at("loop1"));
  fs::create_symlink("loop1", at("loop2"));
  struct Case {
    std::string path;
    int os_error;
    ErrorKind kind;
  };
  for (const Case& c : {Case{at("missing/x"), ENOENT, ErrorKind::NotFound},
                        Case{at("d"), EISDIR, ErrorKind::IsADirectory},
                        Case{at("d/new/"), EISDIR, ErrorKind::IsADirectory},
                        Case{at("file/x"), ENOTDIR, ErrorKind::NotADirectory},
                        Case{at("loop1"), ELOOP, ErrorKind::Other}}) {
    auto r = AtomicOutput::begin(c.path);
    ASSERT_FALSE(r.ok()) << c.path;
    EXPECT_EQ(r.error().os_error(), c.os_error) << c.path;
    EXPECT_EQ(r.error().kind(), c.kind) << c.path;
  }
  auto nul = AtomicOutput::begin(at(std::string("a\0b", 3)));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(names(), (std::set<std::string>{"d", "file", "loop1", "loop2"}));
  EXPECT_TRUE(fs::is_empty(at("d")));
}

TEST_F(AtomicOutputTest, PermissionChecksApplyAndOnlyRefusedRenamesFallBackToInPlace) {
  // As root the checks do not apply, so the writer drops to an
  // unprivileged user in a child process.
  // A read-only file in a directory open to all: the rename would work,
  // but a plain create would not.
  fs::create_directory(at("rw"));
  chmod(at("rw").c_str(), 0777);
  spit(at("rw/readonly"), "kept");
  chmod(at("rw/readonly").c_str(), 0444);
  fs::create_directory(at("ro"));
  spit(at("ro/writable"), "kept too");
  chmod(at("ro/writable").c_str(), 0666);
  chmod(at("ro").c_str(), 0555);
  // In a sticky directory only the file's owner may replace it, even if
  // everyone may write to it: it is written in place instead, keeping its
  // inode and its owner.
  fs::create_directory(at("sticky"));
  spit(at("sticky/shared"), "kept three");
  chmod(at("sticky/shared").c_str(), 0666);
  chmod(at("sticky").c_str(), 01777);
  // Writable and searchable, but not readable: the output still works.
  fs::create_directory(at("wx"));
  chmod(at("wx").c_str(), 0333);

  auto as_user = [](const std::string& path) {
    return run_child([&] {
      if (!drop_privileges()) return 98;
      return code_of(replace_with(path, "new"));
    });
  };
  EXPECT_EQ(as_user(at("rw/readonly")), EACCES);
  EXPECT_EQ(as_user(at("ro/writable")), EACCES);
  // Without root the test cannot make a file that belongs to someone else.
  struct stat before;
  ASSERT_EQ(stat(at("sticky/shared").c_str(), &before), 0);
  if (geteuid() == 0) {
    EXPECT_EQ(run_child([&] {
                if (!drop_privileges()) return 98;
                auto r = AtomicOutput::begin(at("sticky/shared"));
                if (!r.ok()) return r.error().os_error();
                return r->in_place() ? code_of(write_all(*r, "new")) : 97;
              }),
              0);
    EXPECT_EQ(slurp(at("sticky/shared")), "new");
    struct stat after;
    ASSERT_EQ(stat(at("sticky/shared").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
  EXPECT_EQ(as_user(at("wx/made")), 0);
  EXPECT_EQ(names(at("sticky")), std::set<std::string>{"shared"});
  EXPECT_EQ(slurp(at("rw/readonly")), "kept");
  EXPECT_EQ(names(at("rw")), std::set<std::string>{"readonly"});
  EXPECT_EQ(slurp(at("ro/writable")), "kept too");
  EXPECT_EQ(names(at("ro")), std::set<std::string>{"writable"});
  chmod(at("wx").c_str(), 0755);
  EXPECT_EQ(slurp(at("wx/made")), "new");
  EXPECT_EQ(names(at("wx")), std::set<std::string>{"made"});
}

TEST_F(AtomicOutputTest, AbandonedOutputLeavesTheDestinationAsItWas) {
  spit(at("old"), "old bytes");
  try {
    AtomicOutput out = unwrap(AtomicOutput::begin(at("old")));
    const uint8_t junk[] = {1, 2, 3};
    ASSERT_TRUE(out.file().write_at(junk, 0).ok());
    abort_call("failed half way");
  } catch (const Abort&) {
  }
  { AtomicOutput never = unwrap(AtomicOutput::begin(at("new"))); }
  EXPECT_EQ(slurp(at("old")), "old bytes");
  EXPECT_EQ(names(), std::set<std::string>{"old"});
}

TEST_F(AtomicOutputTest, KilledWriterLeavesNothingBehind) {
  spit(at("old"), "old bytes");
  EXPECT_EQ(run_child([&] {
              AtomicOutput out = unwrap(AtomicOutput::begin(at("old")));
              AtomicOutput fresh = unwrap(AtomicOutput::begin(at("new")));
              if (!out.unnamed() || !fresh.unnamed()) return 1;
              const std::string half(1 << 20, 'h');
              (void)out.file().write_at(
                  ByteView(reinterpret_cast<const uint8_t*>(half.data()), half.size()), 0);
              raise(SIGKILL);
              return 2;
            }),
            128 + SIGKILL);
  EXPECT_EQ(slurp(at("old")), "old bytes");
  EXPECT_EQ(names(), std::set<std::string>{"old"});
}

TEST_F(AtomicOutputTest, FailedWriteUnderFileSizeLimitKeepsTheOldBytes) {
  spit(at("old"), "old bytes");
  const int code = run_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    return code_of(replace_with(at("old"), std::string(10000, 'n')));
  });
  EXPECT_EQ(code, EFBIG);
  EXPECT_EQ(slurp(at("old")), "old bytes");
  EXPECT_EQ(names(), std::set<std::string>{"old"});
}

TEST_F(AtomicOutputTest, FailedRenameRemovesTheTemporaryFile) {
  AtomicOutput out = unwrap(AtomicOutput::begin(at("dest")));
  // Something puts a non-empty directory in the way before the commit.
  fs::create_directories(at("dest/inner"));
  auto r = write_all(out, "data");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::IsADirectory);
  EXPECT_EQ(names(), std::set<std::string>{"dest"});
}

TEST_F(AtomicOutputTest, WithoutReplaceAnExistingDestinationIsAnError) {
  spit(at("old"), "old bytes");
  for (const std::string& path : {at("old"), std::string("/dev/null")}) {
    auto r = AtomicOutput::begin(path, /*replace_existing=*/false);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(r.error().message(), "destination exists");
  }
  EXPECT_EQ(slurp(at("old")), "old bytes");

  // A destination that appears between begin and commit survives.
  AtomicOutput out = unwrap(AtomicOutput::begin(at("late"), false));
  spit(at("late"), "someone else's");
  auto r = write_all(out, "mine");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(slurp(at("late")), "someone else's");

  ASSERT_TRUE(replace_with(at("fresh"), "mine", false).ok());
  EXPECT_EQ(slurp(at("fresh")), "mine");
  EXPECT_EQ(names(), (std::set<std::string>{"fresh", "late", "old"}));
}

TEST_F(AtomicOutputTest, LongNamesKeepTheTemporaryNameWithinTheLimit) {
  const std::string name(255, 'n');
  AtomicOutput out = unwrap(AtomicOutput::begin(at(name)));
  EXPECT_LE(out.temp_name().size(), 255u);
  ASSERT_TRUE(write_all(out, "long").ok());
  EXPECT_EQ(slurp(at(name)), "long");
  EXPECT_EQ(names(), std::set<std::string>{name});
}

TEST_F(AtomicOutputTest, LongNamesAreCutBeforeAWholeUtf8Sequence) {
  // A temporary name keeps at most 241 bytes of the destination's name; a
  // character that straddles that point is left out whole.
  struct Case {
    size_t ascii;  // 'a's before the character
    std::string character;
    size_t kept;
  };
  for (const Case& c : {Case{240, "\xC3\xA9", 240},          // cut after byte 1 of 2
                        Case{239, "\xE2\x82\xAC", 239},      // after byte 2 of 3
                        Case{238, "\xF0\x9F\x98\x80", 238},  // after byte 3 of 4
                        Case{241, "\xC3\xA9", 241}}) {        // just past the cut
    std::string name = std::string(c.ascii, 'a') + c.character;
    name.resize(255, 'z');
    AtomicOutput out = unwrap(AtomicOutput::begin(at(name)));
    // "." + the kept bytes + "." + 8 random characters + ".tmp"
    EXPECT_EQ(out.temp_name().substr(0, c.kept + 2), "." + std::string(c.kept, 'a') + ".")
        << c.ascii;
    EXPECT_EQ(out.temp_name().size(), c.kept + 14) << c.ascii;
  }
  EXPECT_TRUE(names().empty());
}

TEST_F(AtomicOutputTest, DestinationDirectoryInTheWayIsNeverAnsweredAsAnExistingFile) {
  fs::create_directories(at("real/inner"));
  fs::create_directory_symlink("real", at("link"));
  fs::create_symlink("link", at("link2"));
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
  // A dangling link replaces nothing: it leads to the name it would create.
  fs::create_symlink("real/made", at("dangling"));
  auto dangling = writable_destination(at("dangling"), false);
  ASSERT_TRUE(dangling.ok());
  EXPECT_FALSE(dangling->exists);
  EXPECT_EQ(dangling->name, "made");
  EXPECT_FALSE(fs::exists(at("real/made")));
}

TEST_F(AtomicOutputTest, DestinationLinkTargetsOfAnyLengthAreReadWhole) {
  // The target is first read into 256 bytes; a target that fills them may
  // have been cut and is read again with more room. "./" steps make
  // targets of every length around that boundary lead to t/target.
  fs::create_directory(at("t"));
  spit(at("t/target"), "x");
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

// descriptors_of lists this process's descriptors open on directory |dir|.
std::vector<int> descriptors_of(const std::string& dir) {
  std::vector<int> out;
  const fs::path want = fs::canonical(dir);
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) == want) out.push_back(std::stoi(e.path().filename()));
  }
  return out;
}

// begin_group begins an output for each of |paths|, writing its path into
// it.
std::vector<std::unique_ptr<AtomicOutput>> begin_group(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<AtomicOutput>> outputs;
  for (const std::string& path : paths) {
    outputs.push_back(std::make_unique<AtomicOutput>(unwrap(AtomicOutput::begin(path))));
    const auto* p = reinterpret_cast<const uint8_t*>(path.data());
    EXPECT_TRUE(outputs.back()->file().write_at(ByteView(p, path.size()), 0).ok());
  }
  return outputs;
}

std::vector<AtomicOutput*> pointers(const std::vector<std::unique_ptr<AtomicOutput>>& outputs) {
  std::vector<AtomicOutput*> out;
  for (const auto& o : outputs) out.push_back(o.get());
  out.push_back(nullptr);  // a slot without an output is answered too
  return out;
}

TEST_F(AtomicOutputTest, GroupCommitFlushesEachDirectoryOnceAndFailsOnlyItsOwnFiles) {
  const std::vector<std::string> paths = {at("a/1"), at("b/1"), at("a/2"), at("a/3"),
                                          at("b/2")};
  auto fresh_directories = [&] {
    for (const char* d : {"a", "b"}) {
      fs::remove_all(at(d));
      fs::create_directory(at(d));
    }
    spit(at("a/2"), "old bytes");
  };
  fresh_directories();
  {
    // Every output published and complete; every file flushed, and each
    // directory once.
    auto outputs = begin_group(paths);
    const uint64_t before = write_counter::fsync_calls();
    const auto committed = AtomicOutput::commit_group(pointers(outputs));
    EXPECT_EQ(write_counter::fsync_calls() - before, paths.size() + 2);
    ASSERT_EQ(committed.size(), paths.size() + 1);
    for (const auto& r : committed) EXPECT_TRUE(r.ok());
    for (const std::string& path : paths) EXPECT_EQ(slurp(path), path);
  }
  EXPECT_EQ(names(at("a")), (std::set<std::string>{"1", "2", "3"}));
  EXPECT_EQ(names(at("b")), (std::set<std::string>{"1", "2"}));

  fresh_directories();
  {
    // a/2's file flush fails, a/3's rename fails (a directory in the way),
    // and b's directory flush fails: a/1 alone is durable; b's files are in
    // place and complete, their flush reported failed.
    auto outputs = begin_group(paths);
    fs::create_directories(at("a/3/inner"));
    const std::vector<int> b_fds = descriptors_of(at("b"));
    ASSERT_EQ(b_fds.size(), 2u);
    write_counter::fail_fsync_of({outputs[2]->file().fd(), b_fds[0], b_fds[1]}, EIO);
    const auto committed = AtomicOutput::commit_group(pointers(outputs));
    write_counter::fail_fsync_of({}, 0);
    EXPECT_TRUE(committed[0].ok());
    ASSERT_FALSE(committed[2].ok());
    EXPECT_EQ(committed[2].error().os_error(), EIO);
    // b's files were replaced: each failure says so, naming its own file.
    for (size_t k : {1u, 4u}) {
      ASSERT_FALSE(committed[k].ok()) << k;
      EXPECT_EQ(committed[k].error().message(),
                paths[k] + std::string(kReplacedUnflushedMessage) +
                    IoError::from_os(EIO).message())
          << k;
    }
    ASSERT_FALSE(committed[3].ok());
    EXPECT_EQ(committed[3].error().kind(), ErrorKind::IsADirectory);
    EXPECT_TRUE(committed[5].ok());
  }
  EXPECT_EQ(slurp(at("a/1")), at("a/1"));
  EXPECT_EQ(slurp(at("a/2")), "old bytes");
  EXPECT_EQ(names(at("a")), (std::set<std::string>{"1", "2", "3"}));
  EXPECT_EQ(names(at("a/3")), std::set<std::string>{"inner"});
  EXPECT_EQ(slurp(at("b/1")), at("b/1"));
  EXPECT_EQ(slurp(at("b/2")), at("b/2"));
  EXPECT_EQ(names(at("b")), (std::set<std::string>{"1", "2"}));
}

}  // namespace
}  // namespace cellvault
