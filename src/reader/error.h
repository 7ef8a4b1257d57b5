// ReadError: why a locked file could not be verified or opened.
//
// The reader is handed files that may have been made to break it, so every
// failure is a value that says in plain words which of a few causes it is:
// the password, a file changed after it was locked, a file that is not an
// encrypted Office file at all, a damaged container or descriptor (naming
// what is wrong and where), an encryption this reader does not implement
// (naming it), or the operating system's error while reading or writing.
// The command line prints describe() after the file name; scripts and
// tests branch on kind().

#ifndef CELLVAULT_READER_ERROR_H_
#define CELLVAULT_READER_ERROR_H_

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/result.h"

namespace cellvault::reader {

enum class ReadErrorKind {
  kWrongPassword,
  kIntegrityMismatch,
  kNotEncrypted,
  kDamagedContainer,
  kDamagedDescriptor,
  kUnsupported,
  kIo,
};

class ReadError {
 public:
  static ReadError wrong_password();
  // integrity_mismatch: the HMAC stored in the descriptor does not match
  // the encrypted package, so the package changed after it was locked.
  static ReadError integrity_mismatch();
  // not_encrypted: |what| says what the file is instead ("a plain ZIP
  // package", "an empty file").
  static ReadError not_encrypted(std::string what);
  // damaged_container / damaged_descriptor: |what| names the fault and
  // where it lies ("the FAT chain of EncryptedPackage loops at sector 7").
  static ReadError damaged_container(std::string what);
  static ReadError damaged_descriptor(std::string what);
  // unsupported: |what| names the encryption or feature ("RC4 CryptoAPI
  // encryption").
  static ReadError unsupported(std::string what);
  // io wraps an operating system error met while reading the input or
  // writing the output.
  static ReadError io(IoError error);

  ReadErrorKind kind() const { return kind_; }
  // detail is the text the error was made with (empty for the kinds that
  // need none).
  const std::string& detail() const { return detail_; }
  const std::optional<IoError>& io_error() const { return io_; }

  // describe gives the whole message, e.g. "wrong password" or "damaged
  // container: the directory tree has a cycle at entry 3".
  std::string describe() const;

 private:
  ReadError(ReadErrorKind kind, std::string detail)
      : kind_(kind), detail_(std::move(detail)) {}

  ReadErrorKind kind_;
  std::string detail_;
  std::optional<IoError> io_;
};

// read_error_kind_name gives the kind as a short word for tools and tests
// ("wrong-password", "integrity-mismatch", "not-encrypted",
// "damaged-container", "damaged-descriptor", "unsupported", "io").
std::string_view read_error_kind_name(ReadErrorKind kind);

template <class T>
using ReadResult = Result<T, ReadError>;

// from_io turns an IoResult into a ReadResult carrying the OS error.
template <class T>
ReadResult<T> from_io(IoResult<T>&& result) {
  if (!result.ok()) return Err{ReadError::io(std::move(result).error())};
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(result).take();
  }
}

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_ERROR_H_
