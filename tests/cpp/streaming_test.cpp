// The streaming encryption: the file it writes against the whole-buffer
// path's for the same random values, a source that changes while it is
// read, which sources are streamed, and a streamed file read back.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfb_test_util.h"
#include "common/abort.h"
#include "common/package_buffer.h"
#include "common/source.h"
#include "crypto_test_util.h"
#include "helper/crypt/encrypt.h"
#include "reader/reader.h"
#include "writer/xlsx.h"

namespace cellvault {
namespace {

using cfb::Version;
using cfb::testing::read_file;
using cfb::testing::TempPath;
using testing::abort_message;
using testing::pattern;

SecretBytes secret(size_t n, uint8_t salt) {
  const Bytes p = pattern(n, salt);
  return SecretBytes(p.begin(), p.end());
}

// Fixed stand-ins for the random draws and the password keys: both paths
// take them as they are, so the files must agree byte for byte.
FileSecrets test_secrets() {
  FileSecrets s;
  s.package_key = secret(32, 1);
  s.key_data_salt = secret(16, 2);
  s.password_salt = secret(16, 3);
  s.hmac_key = secret(64, 4);
  s.verifier_hash_input = secret(16, 5);
  return s;
}

PasswordKeys test_keys() { return {secret(32, 6), secret(32, 7), secret(32, 8)}; }

void write_whole(const std::string& path, ByteView data) {
  File f = unwrap(File::create(path));
  unwrap(f.write_at(data, 0));
}

// without_timestamps clears the creation and modification times of the
// three directory entries (root, EncryptionInfo, EncryptedPackage), which
// are the clock's at the time of writing and nothing else in the file is.
Bytes without_timestamps(Bytes file) {
  if (file.size() < 512) return file;
  const size_t sector = size_t{1} << load_u16le(file.data() + 0x1E);
  const size_t dir = (size_t{load_u32le(file.data() + 0x30)} + 1) * sector;
  for (size_t entry = 0; entry < 3 && dir + (entry + 1) * 128 <= file.size(); ++entry) {
    std::memset(file.data() + dir + entry * 128 + 100, 0, 16);
  }
  return file;
}

Bytes buffered_file(ByteView package, Version version) {
  TempPath out;
  File file = unwrap(File::create(out.path()));
  const SealedPackage sealed =
      seal_package(PackageBuffer::copy_of(package), test_secrets(), test_keys());
  write_container(file, sealed, version);
  return without_timestamps(read_file(out.path()));
}

Bytes streamed_file(ByteView package, Version version, size_t chunk_len) {
  TempPath source_path, out;
  write_whole(source_path.path(), package);
  File source = unwrap(open_source(source_path.path()));
  File file = unwrap(File::create(out.path()));
  write_streamed_container(file, source, package.size(), test_secrets(), test_keys(),
                           version, chunk_len);
  return without_timestamps(read_file(out.path()));
}

// Package sizes around the segment, block, mini stream cutoff (the stream
// of 4088 bytes is the first that leaves the mini stream), write window and
// chunk boundaries, each streamed in chunks of one segment, of a few
// segments, and of more than one fused run (256 KiB).
TEST(StreamingTest, WritesTheWholeBufferFileAtEveryBoundary) {
  const size_t sizes[] = {0,    1,    15,    16,    4087,  4088,  4095,         4096,
                          4097, 8184, 8185,  12288, 16385, 65536, 3 * 65536 + 4095,
                          266240 + 17};
  const size_t chunks[] = {4096, 12288, 266240};
  for (Version version : {Version::V3, Version::V4}) {
    for (size_t n : sizes) {
      const Bytes package = pattern(n, static_cast<uint8_t>(n));
      const Bytes want = buffered_file(package, version);
      for (size_t chunk : chunks) {
        SCOPED_TRACE("version " + std::to_string(static_cast<int>(version)) + ", " +
                     std::to_string(n) + " bytes, chunks of " + std::to_string(chunk));
        const Bytes got = streamed_file(package, version, chunk);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want);
      }
    }
  }
}

// Large enough that the tables grow as the package streams: a version 3
// file past the 109 FAT sectors of the header (a DIFAT sector), a version
// 4 file over several FAT sectors, with the default chunk and a short one.
TEST(StreamingTest, WritesTheWholeBufferFileWhileTheTablesGrow) {
  const struct {
    Version version;
    size_t len;
    size_t chunk;
  } cases[] = {{Version::V3, 7'400'000, size_t{1} << 20},
               {Version::V4, 9'000'001, kStreamChunkLen},
               {Version::V4, 9'000'001, 69632}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + " bytes, chunks of " + std::to_string(c.chunk));
    const Bytes package = pattern(c.len, 9);
    const Bytes want = buffered_file(package, c.version);
    const Bytes got = streamed_file(package, c.version, c.chunk);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
}

// A temporary directory, removed with what it holds (no subdirectories).
class TempDir {
 public:
  TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp ? tmp : "/tmp") + "/stream_test_XXXXXX";
    path_ = ::mkdtemp(templ.data()) ? templ : "";
  }
  ~TempDir() {
    for (const std::string& name : names()) ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(path_.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
      }
      ::closedir(d);
    }
    return out;
  }

 private:
  std::string path_;
};

// The size is taken when the source is opened; a file that then grows or
// shrinks fails the call, and the destination never appears (nor does a
// temporary file stay behind).
TEST(StreamingTest, ASourceThatChangesSizeFailsAndPublishesNothing) {
  const size_t n = 3 * 4096 + 5;
  const Bytes package = pattern(n, 1);
  for (const bool grow : {true, false}) {
    SCOPED_TRACE(grow ? "grown" : "shrunk");
    TempDir dir;
    const std::string source_path = dir.path() + "/source.xlsx";
    const std::string out_path = dir.path() + "/out.xlsx";
    write_whole(source_path, package);
    File source = unwrap(open_source(source_path));
    const uint64_t len = source.remaining_len_hint();
    ASSERT_EQ(len, n);
    if (grow) {
      File writer = unwrap(File::open_at(AT_FDCWD, source_path, O_WRONLY));
      unwrap(writer.write_at(pattern(1), n));
    } else {
      ASSERT_EQ(::truncate(source_path.c_str(), n - 100), 0);
    }
    const std::string message =
        abort_message([&] { encrypt_file(out_path, source, len, "pw", {}, 4096); });
    EXPECT_NE(message.find("the source changed while it was read"), std::string::npos)
        << message;
    EXPECT_NE(message.find(grow ? "went on past the 12293 bytes" : "ended before the 12293"),
              std::string::npos)
        << message;
    EXPECT_EQ(dir.names(), std::vector<std::string>{"source.xlsx"});
  }
}

TEST(StreamingTest, OnlyLargeRegularFilesAreStreamed) {
  TempPath small, large;
  write_whole(small.path(), pattern(100));
  write_whole(large.path(), pattern(5000));
  File small_file = unwrap(open_source(small.path()));
  File large_file = unwrap(open_source(large.path()));
  EXPECT_EQ(streamed_len(small_file, 4096), std::nullopt);
  EXPECT_EQ(streamed_len(large_file, 4096), std::optional<uint64_t>(5000));
  // What is left from the current position on.
  uint8_t skip[1000];
  ASSERT_EQ(unwrap(large_file.read(skip)), sizeof(skip));
  EXPECT_EQ(streamed_len(large_file, 3000), std::optional<uint64_t>(4000));
  // A pipe, and a file whose size says nothing about what it holds.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  File read_end(fds[0]), write_end(fds[1]);
  EXPECT_EQ(streamed_len(read_end, 0), std::nullopt);
  File status = unwrap(open_source("/proc/self/status"));
  EXPECT_EQ(streamed_len(status), std::nullopt);
}

// set_password streams a package just over the threshold; it reads back
// whole with its HMAC matching, also when the destination replaces the
// source itself.
TEST(StreamingTest, AStreamedFileReadsBack) {
  const Bytes package = pattern(kStreamMinLen + 4097, 3);
  TempPath source_path, out_path, plain_path;
  write_whole(source_path.path(), package);
  for (const bool same : {false, true}) {
    SCOPED_TRACE(same ? "onto the source" : "to another file");
    const std::string& to = same ? source_path.path() : out_path.path();
    set_password(source_path.path(), to, "Pässword");
    File in = unwrap(File::open_read(to));
    File plain = unwrap(File::create(plain_path.path()));
    const reader::ReadResult<reader::Report> report =
        reader::decrypt_file(in, "Pässword", plain);
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->integrity, reader::Integrity::kMatches);
    EXPECT_EQ(report->package_len, package.size());
    EXPECT_TRUE(read_file(plain_path.path()) == package);
  }
}

// The command line's form: the keys derived on a second thread while the
// package streams. The file reads back; a password that cannot be derived
// fails the call as it does on one thread, with nothing left behind.
TEST(StreamingTest, KeysDerivedBesideThePackage) {
  const Bytes package = pattern(5 * 4096 + 3, 4);
  TempDir dir;
  const std::string source_path = dir.path() + "/source.xlsx";
  const std::string out_path = dir.path() + "/out.xlsx";
  write_whole(source_path, package);
  OutputOptions options;
  options.derive_beside = true;
  {
    File source = unwrap(open_source(source_path));
    encrypt_file(out_path, source, package.size(), "beside", options, 8192);
    File in = unwrap(File::open_read(out_path));
    const reader::ReadResult<reader::Report> report = reader::verify_file(in, "beside");
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->integrity, reader::Integrity::kMatches);
    ::unlink(out_path.c_str());
  }
  const std::string bad_utf8("\xff", 1);
  std::string messages[2];
  for (const bool beside : {false, true}) {
    options.derive_beside = beside;
    File source = unwrap(open_source(source_path));
    messages[beside] = abort_message(
        [&] { encrypt_file(out_path, source, package.size(), bad_utf8, options, 8192); });
  }
  EXPECT_NE(messages[0], "<no abort>");
  EXPECT_EQ(messages[1], messages[0]);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"source.xlsx"});
}

}  // namespace
}  // namespace cellvault
