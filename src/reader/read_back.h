// Reading a file that was just written back through the reader, to check
// it before it is published (`cellvault encrypt --verify`).
//
// The encryption consumes the plain package (it is encrypted where it
// lies), so the package is remembered as its length and SHA-256 before it
// is sealed. The finished file is then opened as any locked file would
// be, with the password, its integrity value checked, and its package
// decrypted a window at a time into the same digest: memory stays bounded
// whatever the package's size, and a source that cannot be read twice (a
// pipe) is checked as well as a file.

#ifndef CELLVAULT_READER_READ_BACK_H_
#define CELLVAULT_READER_READ_BACK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/file.h"
#include "common/secure.h"

namespace cellvault::reader {

struct PackageFingerprint {
  uint64_t len = 0;
  SecretBytes sha256;
};

// fingerprint_of remembers |package| (plain) as its length and SHA-256.
PackageFingerprint fingerprint_of(ByteView package);

// check_read_back opens |written| (a complete locked file, open for
// reading) with |password| and decrypts it. It returns nothing when the
// package inside matches |expected|, else a line that says what differs:
// the reader's error ("wrong password", "damaged container: ..."), or a
// package of another length or other bytes.
std::optional<std::string> check_read_back(File& written, std::string_view password,
                                           const PackageFingerprint& expected);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_READ_BACK_H_
