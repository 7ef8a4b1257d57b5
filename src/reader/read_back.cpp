#include "reader/read_back.h"

#include <openssl/crypto.h>

#include "reader/crypto.h"
#include "reader/reader.h"

namespace cellvault::reader {

PackageFingerprint fingerprint_of(ByteView package) {
  Digest digest(HashAlg::kSha256);
  digest.update(package);
  return {package.size(), digest.finish()};
}

std::optional<std::string> check_read_back(File& written, std::string_view password,
                                           const PackageFingerprint& expected) {
  ReadResult<FileSource> source = FileSource::open(written);
  if (!source.ok()) return "it cannot be read back: " + source.error().describe();
  Digest digest(HashAlg::kSha256);
  uint64_t len = 0;
  const PackageSink sink = [&](ByteView data) -> ReadResult<void> {
    digest.update(data);
    len += data.size();
    return {};
  };
  ReadResult<Report> report = decrypt_source(*source, password, sink);
  if (!report.ok()) return "reading it back fails: " + report.error().describe();
  if (len != expected.len) {
    return "reading it back gives a workbook of " + std::to_string(len) + " bytes instead of " +
           std::to_string(expected.len);
  }
  const SecretBytes got = digest.finish();
  if (got.size() != expected.sha256.size() ||
      CRYPTO_memcmp(got.data(), expected.sha256.data(), got.size()) != 0) {
    return "reading it back gives a workbook that differs from the input";
  }
  return std::nullopt;
}

}  // namespace cellvault::reader
