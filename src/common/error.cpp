#include "common/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cellvault {

std::string_view error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "NotFound";
    case ErrorKind::PermissionDenied: return "PermissionDenied";
    case ErrorKind::AlreadyExists: return "AlreadyExists";
    case ErrorKind::WouldBlock: return "WouldBlock";
    case ErrorKind::NotADirectory: return "NotADirectory";
    case ErrorKind::IsADirectory: return "IsADirectory";
    case ErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case ErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
    case ErrorKind::StorageFull: return "StorageFull";
    case ErrorKind::FileTooLarge: return "FileTooLarge";
    case ErrorKind::InvalidInput: return "InvalidInput";
    case ErrorKind::InvalidData: return "InvalidData";
    case ErrorKind::TimedOut: return "TimedOut";
    case ErrorKind::WriteZero: return "WriteZero";
    case ErrorKind::Interrupted: return "Interrupted";
    case ErrorKind::Unsupported: return "Unsupported";
    case ErrorKind::UnexpectedEof: return "UnexpectedEof";
    case ErrorKind::OutOfMemory: return "OutOfMemory";
    case ErrorKind::Other: return "Other";
  }
  return "Other";
}

ErrorKind kind_from_errno(int os_error) {
  switch (os_error) {
    case ENOENT: return ErrorKind::NotFound;
    case EPERM:
    case EACCES: return ErrorKind::PermissionDenied;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EAGAIN: return ErrorKind::WouldBlock;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case EISDIR: return ErrorKind::IsADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ENOSPC:
    case EDQUOT: return ErrorKind::StorageFull;
    case EFBIG: return ErrorKind::FileTooLarge;
    case EINVAL: return ErrorKind::InvalidInput;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case EINTR: return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    case ENOMEM: return ErrorKind::OutOfMemory;
    default: return ErrorKind::Other;
  }
}

IoError IoError::from_os(int os_error) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be |buf|.
  const char* text = strerror_r(os_error, buf, sizeof(buf));
  return IoError(kind_from_errno(os_error), os_error, text);
}

IoError IoError::from_errno() { return from_os(errno); }

IoError IoError::custom(ErrorKind kind, std::string message) {
  return IoError(kind, 0, std::move(message));
}

std::string IoError::render() const {
  std::string out;
  if (os_error_ != 0) {
    out = "Os { code: " + std::to_string(os_error_) + ", kind: ";
    out += error_kind_name(kind_);
    out += ", message: " + quote(message_) + " }";
  } else {
    out = "Custom { kind: ";
    out += error_kind_name(kind_);
    out += ", error: " + quote(message_) + " }";
  }
  return out;
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          char esc[12];
          std::snprintf(esc, sizeof(esc), "\\u{%x}", u);
          out += esc;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace cellvault
