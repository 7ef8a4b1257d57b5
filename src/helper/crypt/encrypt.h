// encrypt: the Agile encryption pipeline from plain package bytes to the
// finished compound file.

#ifndef CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
#define CELLVAULT_HELPER_CRYPT_ENCRYPT_H_

#include <string_view>

#include "cfb/version.h"
#include "common/bytes.h"

namespace cellvault {

// How the destination is written.
struct OutputOptions {
  // The container version: the Python module always writes version 4.
  cfb::Version version = cfb::Version::V4;
  // When false, an existing destination is an AlreadyExists failure and is
  // never replaced (the command line without --force).
  bool replace_existing = true;
};

// encrypt encrypts |data| under |password| and writes the container with the
// streams "EncryptionInfo" and "EncryptedPackage" to |to_path|, atomically:
// on any failure the destination is as it was. Every failure throws Abort.
void encrypt(std::string_view to_path, ByteView data, std::string_view password,
             const OutputOptions& options = {});

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
