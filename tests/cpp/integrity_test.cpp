// Tests of HMAC-SHA-512 and of the random source, including its failures,
// which are injected with a seccomp filter in a child process.

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

#include "crypto_test_util.h"
#include "helper/crypt/integrity.h"
#include "helper/crypt/random.h"

namespace cellvault {
namespace {

using testing::hex;
using testing::unhex;
using testing::view;

std::string hmac_hex(ByteView key, std::initializer_list<ByteView> message) {
  auto r = hmac("SHA512", key, message);
  return r.ok() ? hex(*r) : "error: " + r.error();
}

TEST(HmacTest, Rfc4231TestCases) {
  struct Case {
    Bytes key;
    Bytes data;
    std::string mac;  // case 5 is truncated to 128 bits, as published
  };
  const std::string data7 =
      "This is a test using a larger than block-size key and a larger than "
      "block-size data. The key needs to be hashed before being used by the "
      "HMAC algorithm.";
  auto text = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  const Case cases[] = {
      {Bytes(20, 0x0b), text("Hi There"),
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
       "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
      {text("Jefe"), text("what do ya want for nothing?"),
       "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
       "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
       "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       Bytes(50, 0xcd),
       "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3db"
       "a91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd"},
      {Bytes(20, 0x0c), text("Test With Truncation"),
       "415fad6271580a531d4179bc891d87a6"},
      {Bytes(131, 0xaa),
       text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
       "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
      {Bytes(131, 0xaa), text(data7),
       "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
       "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"},
  };
  int number = 1;
  for (const Case& c : cases) {
    const std::string got = hmac_hex(c.key, {c.data});
    EXPECT_EQ(got.substr(0, c.mac.size()), c.mac) << "case " << number;
    // The same message split into list members gives the same value.
    const ByteView d = c.data;
    EXPECT_EQ(hmac_hex(c.key, {d.first(3), {}, d.subspan(3)}), got)
        << "case " << number;
    ++number;
  }
}

TEST(HmacTest, KeyBlockBoundaryAndEmptyMessage) {
  // Computed with Python: hmac.new(key, b'block', hashlib.sha512) for the
  // keys bytes((i*3+1) & 255 for i in range(128 or 129)), and
  // hmac.new(b'\x01'*64, b'', hashlib.sha512).
  Bytes key(129);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 3 + 1);
  EXPECT_EQ(hmac_hex(ByteView(key).first(128), {view("block")}),
            "e442976055329b4ba84072e1fc4d0c85ef92e8a2ec14e7cf28ba902e2f06453d"
            "bb1f8377f8e548f32bd8b4f1adc52e88e37d94e54601ab30ca440af5b8a77e49");
  EXPECT_EQ(hmac_hex(key, {view("block")}),
            "782797cfdf797d2ae40dd763ef9e3d55209ffdf3eebaf3f8a51b2f35f1211afa"
            "f1378b96179efb075a51c7eb321488e44d796a1a30015cc66c29e9cdf0a0daf3");
  const std::string empty =
      "1cd0aba801bedf468a60876a5ea960ec9718c570c3f9c79dafd08765949196a3"
      "3ab7efde80975cebe5a5efedd2dfb9794d24cc5e81c18c6ae300ffe17c6a0e46";
  EXPECT_EQ(hmac_hex(Bytes(64, 1), {}), empty);
  EXPECT_EQ(hmac_hex(Bytes(64, 1), {Bytes()}), empty);
}

TEST(HmacTest, UnsupportedHashIsAnErrorText) {
  auto r = hmac("SHA256", Bytes(64, 1), {view("x")});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "algorithm SHA256 not supported!");
}

TEST(RandomTest, LengthsAndFreshBytes) {
  const SecretBytes a16 = gen_random_16(), b16 = gen_random_16();
  const SecretBytes a32 = gen_random_32(), b32 = gen_random_32();
  const SecretBytes a64 = gen_random_64(), b64 = gen_random_64();
  EXPECT_EQ(a16.size(), 16u);
  EXPECT_EQ(a32.size(), 32u);
  EXPECT_EQ(a64.size(), 64u);
  EXPECT_NE(hex(a16), hex(b16));
  EXPECT_NE(hex(a32), hex(b32));
  EXPECT_NE(hex(a64), hex(b64));
  // 64 zero bytes from a working source have probability 2^-512.
  EXPECT_NE(hex(a64), std::string(128, '0'));
}

// deny_getrandom makes every getrandom system call of this process fail
// with |error|, leaving all other calls alone. No privilege is needed once
// the process has given up gaining new ones.
bool deny_getrandom(int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) &
                                    SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog = {sizeof(filter) / sizeof(filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

bool holds_urandom_open() {
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec) == "/dev/urandom") {
      return true;
    }
  }
  return false;
}

// The child reports the outcome on standard error and exits 0 when the
// random source behaved as the test expects. The death tests re-run the
// binary ("threadsafe" style), so the child starts with the source's
// process-wide probe not yet made.
[[noreturn]] void child_draws(int error, bool expect_abort) {
  if (!deny_getrandom(error)) {
    std::fprintf(stderr, "seccomp unavailable\n");
    _exit(3);
  }
  try {
    const SecretBytes a = gen_random_32();
    const SecretBytes b = gen_random_32();
    const bool fresh = a.size() == 32 && hex(a) != hex(b) &&
                       hex(a) != std::string(64, '0');
    std::fprintf(stderr, "drew %s from urandom=%d\n", fresh ? "fresh" : "bad",
                 holds_urandom_open() ? 1 : 0);
    _exit(expect_abort ? 1 : 0);
  } catch (const Abort& a) {
    std::fprintf(stderr, "abort: %s\n", a.message().c_str());
    _exit(expect_abort ? 0 : 1);
  }
}

TEST(RandomDeathTest, FailingGetrandomAbortsLikeEveryPipelineError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(child_draws(EIO, true), ::testing::ExitedWithCode(0),
              "abort: called `Result::unwrap\\(\\)` on an `Err` value: Os \\{ code: 5, "
              "kind: Other, message: \"Input/output error\" \\}");
}

TEST(RandomDeathTest, MissingOrForbiddenGetrandomFallsBackToUrandom) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(child_draws(ENOSYS, false), ::testing::ExitedWithCode(0),
              "drew fresh from urandom=1");
  EXPECT_EXIT(child_draws(EPERM, false), ::testing::ExitedWithCode(0),
              "drew fresh from urandom=1");
}

}  // namespace
}  // namespace cellvault
