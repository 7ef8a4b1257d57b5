// The reader's entry points: verify a locked file, or decrypt it into an
// open output.
//
// Typical use (the command line):
//   CV_TRY_ASSIGN(File in, ...open the input...);
//   ReadResult<Report> r = reader::verify_file(in, password);
//   if (!r.ok()) print(path + ": " + r.error().describe());
//
// Both read the input a bounded window at a time: memory stays within the
// container's tables (a small fraction of the file) plus kWindowLen,
// whatever the package's size. Both check the password before anything
// else, and decrypt_file checks the integrity value before it writes a
// byte of plain text, so nothing unverified reaches the output unless the
// caller asks for that.

#ifndef CELLVAULT_READER_READER_H_
#define CELLVAULT_READER_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cfb/version.h"
#include "common/bytes.h"
#include "common/file.h"
#include "reader/error.h"
#include "reader/source.h"

namespace cellvault::reader {

// How much of EncryptedPackage is read, checked and decrypted at a time.
inline constexpr size_t kWindowLen = 1 << 20;

enum class Integrity {
  kMatches,          // the HMAC matches the encrypted package
  kAbsent,           // the file carries no integrity value (Standard
                     // encryption, or an Agile file without dataIntegrity)
  kNotChecked,       // decrypt_file with ignore_integrity: not computed
};

struct Report {
  // "Agile, AES-256-CBC, SHA-512, 100000 spins" and the like.
  std::string encryption;
  cfb::Version container_version = cfb::Version::V4;
  // The plain package's length, from the EncryptedPackage size field.
  uint64_t package_len = 0;
  Integrity integrity = Integrity::kAbsent;
};

struct DecryptOptions {
  // Skip the integrity check (the command line's --ignore-integrity), so
  // that a damaged file can still be recovered.
  bool ignore_integrity = false;
};

// verify_file checks that |in| (a regular file, open for reading) is a
// locked Office file that |password| (UTF-8) opens, and checks its
// integrity value when it has one. Returns the report, or the error that
// names the cause: kWrongPassword, kIntegrityMismatch, kNotEncrypted,
// kDamagedContainer, kDamagedDescriptor, kUnsupported or kIo. A password
// that is not valid UTF-8 aborts the call (the caller checks passwords).
ReadResult<Report> verify_file(File& in, std::string_view password);

// decrypt_file verifies |in| like verify_file and then writes the plain
// package to |out|, from its offset 0 on in order; |out| is the caller's
// (a temporary file that the caller publishes only on success). On an
// error, |out| may hold part of the package and the caller discards it;
// kIntegrityMismatch is found before anything is written. Write errors are
// kIo.
ReadResult<Report> decrypt_file(File& in, std::string_view password, File& out,
                                const DecryptOptions& options = {});

// The same on any ByteSource, with the plain package handed to |sink| in
// order, piece by piece (the fuzz targets and unit tests use these).
using PackageSink = std::function<ReadResult<void>(ByteView)>;
ReadResult<Report> verify_source(ByteSource& in, std::string_view password);
ReadResult<Report> decrypt_source(ByteSource& in, std::string_view password,
                                  const PackageSink& sink, const DecryptOptions& options = {});

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_READER_H_
