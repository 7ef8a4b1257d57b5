// Reading a finished output back before it is published (encrypt
// --verify): the check tells a matching package from one of other bytes,
// another length or another password, and an output whose check fails is
// never published.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "cfb_test_util.h"
#include "common/abort.h"
#include "common/package_buffer.h"
#include "helper/crypt/encrypt.h"
#include "reader/read_back.h"
#include "reader_test_util.h"

namespace cellvault::reader {
namespace {

using testing::pattern;

// checked encrypts |package| to a fresh path and returns what
// check_read_back says about the written file against |expected| with
// |password|, taken just before the output would be published.
std::optional<std::string> checked(const Bytes& package, const PackageFingerprint& expected,
                                   std::string_view password = "pw",
                                   cfb::Version version = cfb::Version::V3) {
  cfb::testing::TempPath path;
  std::optional<std::string> said = "not called";
  OutputOptions options;
  options.version = version;
  encrypt(path.path(), PackageBuffer::copy_of(package), "pw", options, [&](File& written) {
    said = check_read_back(written, password, expected);
  });
  return said;
}

TEST(ReadBackTest, MatchesOnlyTheSamePackageUnderTheSamePassword) {
  // Across the 4096-byte segments and the 1 MiB read window.
  for (const size_t len : {size_t{0}, size_t{1}, size_t{4097}, size_t{(1 << 20) + 17}}) {
    const Bytes package = pattern(len, 5);
    for (const cfb::Version v : {cfb::Version::V3, cfb::Version::V4}) {
      EXPECT_EQ(checked(package, fingerprint_of(package), "pw", v), std::nullopt) << len;
    }
  }
  const Bytes package = pattern(10000, 1);
  Bytes other = package;
  other[9999] ^= 0x80;
  EXPECT_EQ(checked(package, fingerprint_of(other)),
            "reading it back gives a workbook that differs from the input");
  EXPECT_EQ(checked(package, fingerprint_of(ByteView(package).first(9999))),
            "reading it back gives a workbook of 10000 bytes instead of 9999");
  EXPECT_EQ(checked(package, fingerprint_of(package), "Pw"), "reading it back fails: wrong password");
}

TEST(ReadBackTest, AFailedCheckPublishesNothingAndKeepsTheOldFile) {
  cfb::testing::TempPath path;
  ASSERT_TRUE(File::create(path.path())->write_at(pattern(100, 2), 0).ok());
  const Bytes package = pattern(5000, 3);
  const PackageFingerprint wrong = fingerprint_of(pattern(5000, 4));
  bool aborted = false;
  try {
    encrypt(path.path(), PackageBuffer::copy_of(package), "pw", {}, [&](File& written) {
      if (std::optional<std::string> error = check_read_back(written, "pw", wrong)) {
        abort_call(*error);
      }
    });
  } catch (const Abort& abort) {
    aborted = true;
    EXPECT_EQ(abort.message(), "reading it back gives a workbook that differs from the input");
  }
  EXPECT_TRUE(aborted);
  EXPECT_EQ(cfb::testing::read_file(path.path()), pattern(100, 2));
}

}  // namespace
}  // namespace cellvault::reader
