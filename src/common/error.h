// IoError: the error of every file and container operation.
//
// An error has a kind, the operating system's error number when it came from
// the OS (0 otherwise) and a message. OS errors keep the OS's own text for
// their number; errors of cellvault's own carry the message they were made
// with.

#ifndef CELLVAULT_COMMON_ERROR_H_
#define CELLVAULT_COMMON_ERROR_H_

#include <string>
#include <string_view>

#include "common/result.h"

namespace cellvault {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  StorageFull,
  FileTooLarge,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
};

// error_kind_name returns the kind's name as it appears in messages,
// e.g. "NotFound".
std::string_view error_kind_name(ErrorKind kind);

// kind_from_errno maps an OS error number to its kind. This is the one
// place where errno values are interpreted.
ErrorKind kind_from_errno(int os_error);

class IoError {
 public:
  // from_os builds the error for OS error number |os_error| with the OS's
  // message text for it.
  static IoError from_os(int os_error);
  // from_errno is from_os(errno), read at the call.
  static IoError from_errno();
  // custom builds an error of cellvault's own.
  static IoError custom(ErrorKind kind, std::string message);

  ErrorKind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  const std::string& message() const { return message_; }

  // render gives the text that an abort shows after "...: ". OS errors read
  // `Os { code: 2, kind: NotFound, message: "No such file or directory" }`,
  // others `Custom { kind: InvalidData, error: "..." }`.
  std::string render() const;

 private:
  IoError(ErrorKind kind, int os_error, std::string message)
      : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

  ErrorKind kind_;
  int os_error_;
  std::string message_;
};

template <class T>
using IoResult = Result<T, IoError>;

// ErrorText is the error of the cryptographic operations: a plain text such
// as "key size not supported!".
using ErrorText = std::string;

template <class T>
using TextResult = Result<T, ErrorText>;

// quote renders |text| between double quotes with backslash escapes for
// quotes, backslashes and control characters; used in messages and aborts.
std::string quote(std::string_view text);

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_ERROR_H_
