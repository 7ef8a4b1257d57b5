#include "reader/error.h"

namespace cellvault::reader {

ReadError ReadError::wrong_password() {
  return ReadError(ReadErrorKind::kWrongPassword, "");
}

ReadError ReadError::integrity_mismatch() {
  return ReadError(ReadErrorKind::kIntegrityMismatch, "");
}

ReadError ReadError::not_encrypted(std::string what) {
  return ReadError(ReadErrorKind::kNotEncrypted, std::move(what));
}

ReadError ReadError::damaged_container(std::string what) {
  return ReadError(ReadErrorKind::kDamagedContainer, std::move(what));
}

ReadError ReadError::damaged_descriptor(std::string what) {
  return ReadError(ReadErrorKind::kDamagedDescriptor, std::move(what));
}

ReadError ReadError::unsupported(std::string what) {
  return ReadError(ReadErrorKind::kUnsupported, std::move(what));
}

ReadError ReadError::io(IoError error) {
  ReadError out(ReadErrorKind::kIo, error.message());
  out.io_ = std::move(error);
  return out;
}

std::string ReadError::describe() const {
  switch (kind_) {
    case ReadErrorKind::kWrongPassword:
      return "wrong password";
    case ReadErrorKind::kIntegrityMismatch:
      return "the file was changed after it was locked (its integrity value "
             "does not match)";
    case ReadErrorKind::kNotEncrypted:
      return "not an encrypted Office file: " + detail_;
    case ReadErrorKind::kDamagedContainer:
      return "damaged container: " + detail_;
    case ReadErrorKind::kDamagedDescriptor:
      return "damaged encryption descriptor: " + detail_;
    case ReadErrorKind::kUnsupported:
      return "unsupported encryption: " + detail_;
    case ReadErrorKind::kIo:
      return detail_;
  }
  return detail_;
}

std::string_view read_error_kind_name(ReadErrorKind kind) {
  switch (kind) {
    case ReadErrorKind::kWrongPassword: return "wrong-password";
    case ReadErrorKind::kIntegrityMismatch: return "integrity-mismatch";
    case ReadErrorKind::kNotEncrypted: return "not-encrypted";
    case ReadErrorKind::kDamagedContainer: return "damaged-container";
    case ReadErrorKind::kDamagedDescriptor: return "damaged-descriptor";
    case ReadErrorKind::kUnsupported: return "unsupported";
    case ReadErrorKind::kIo: return "io";
  }
  return "io";
}

}  // namespace cellvault::reader
