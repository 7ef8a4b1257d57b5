// LockedFile: a compound file opened as an encrypted Office package, with
// its two streams found, its descriptor parsed and the EncryptedPackage
// size field checked against the stream.

#ifndef CELLVAULT_READER_LOCKED_FILE_H_
#define CELLVAULT_READER_LOCKED_FILE_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "helper/crypt/agile_format.h"
#include "reader/container.h"
#include "reader/descriptor.h"
#include "reader/error.h"
#include "reader/source.h"

namespace cellvault::reader {

struct LockedFile {
  // The container is held on the heap so that the stream reader, which
  // borrows it, stays valid when the LockedFile moves.
  std::unique_ptr<Container> container;
  Descriptor descriptor;
  std::optional<StreamReader> package;
  // The package length from the size field; the stream holds at least
  // package_len rounded up to 16 bytes after the field.
  uint64_t package_len = 0;
};

// open_locked_file opens |source| (which must outlive the result). A file
// that is not a compound file, or a compound file without both streams, is
// not_encrypted; one stream without the other is a damaged container.
ReadResult<LockedFile> open_locked_file(ByteSource& source);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_LOCKED_FILE_H_
