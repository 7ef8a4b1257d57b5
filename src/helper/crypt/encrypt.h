// encrypt: the Agile encryption pipeline from plain package bytes to the
// finished compound file.

#ifndef CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
#define CELLVAULT_HELPER_CRYPT_ENCRYPT_H_

#include <cstdint>
#include <string_view>

#include "cfb/version.h"
#include "common/package_buffer.h"

namespace cellvault {

// How the destination is written.
struct OutputOptions {
  // The container version: the Python module always writes version 4.
  cfb::Version version = cfb::Version::V4;
  // When false, an existing destination is an AlreadyExists failure and is
  // never replaced (the command line without --force).
  bool replace_existing = true;
};

// max_package_len returns the largest package that a container of
// |version| holds: for version 3, whose streams may not pass 2 GiB, the
// stream's size field and the package padded to whole cipher blocks must
// fit, which leaves 2147483632 bytes; version 4 has no limit that a file
// could reach (the largest uint64_t). The writer refuses a longer stream
// on its own; this lets a caller refuse the package from its size alone.
uint64_t max_package_len(cfb::Version version);

// encrypt encrypts the package held by |package| under |password| and
// writes the container with the streams "EncryptionInfo" and
// "EncryptedPackage" to |to_path|, atomically: on any failure the
// destination is as it was, except that a failure to flush its directory
// after the rename leaves the new file in place (the rename may then not
// survive a crash), and that a device or FIFO, written in place, keeps
// what reached it. Every failure throws Abort.
//
// The package is encrypted where it lies, so the call needs little memory
// beyond the buffer it is given; the buffer is consumed (its bytes become
// the encrypted stream) and freed before the output is flushed to disk.
void encrypt(std::string_view to_path, PackageBuffer package,
             std::string_view password, const OutputOptions& options = {});

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
