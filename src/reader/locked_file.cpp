#include "reader/locked_file.h"

#include <string>

#include "common/bytes.h"

namespace cellvault::reader {

namespace {

// check_package_len compares the size field with the encrypted bytes
// after it: they must cover the package in whole 16-byte blocks, and may
// run on by less than one more segment (writers may pad the last one).
ReadResult<void> check_package_len(uint64_t package_len, uint64_t stream_len) {
  const uint64_t encrypted = stream_len - kStreamSizeLen;
  const uint64_t blocks = package_len / kAesBlockLen + (package_len % kAesBlockLen != 0);
  const std::string says =
      "EncryptedPackage says the package holds " + std::to_string(package_len) + " bytes";
  if (blocks > encrypted / kAesBlockLen) {
    return Err{ReadError::damaged_container(says + " but its stream holds only " +
                                            std::to_string(encrypted) + " encrypted bytes")};
  }
  if (encrypted - blocks * kAesBlockLen >= kSegmentLen) {
    return Err{ReadError::damaged_container(
        says + " but its stream holds " + std::to_string(encrypted) +
        " encrypted bytes, more than a segment beyond it")};
  }
  return {};
}

}  // namespace

ReadResult<LockedFile> open_locked_file(ByteSource& source) {
  LockedFile f;
  CV_TRY_ASSIGN(Container c, Container::open(source));
  f.container = std::make_unique<Container>(std::move(c));
  const Container& container = *f.container;
  CV_TRY_ASSIGN(std::optional<uint32_t> info_id, container.find_root_child(kEncryptionInfoStream));
  CV_TRY_ASSIGN(std::optional<uint32_t> package_id, container.find_root_child(kEncryptedPackageStream));
  if (!info_id && !package_id) {
    return Err{ReadError::not_encrypted(
        "it is a compound file without the EncryptionInfo and EncryptedPackage streams (a "
        "document of the older binary formats, perhaps)")};
  }
  if (!info_id || !package_id) {
    return Err{ReadError::damaged_container(
        "the " + std::string(info_id ? kEncryptedPackageStream : kEncryptionInfoStream) + " stream is missing")};
  }

  CV_TRY_ASSIGN(StreamReader info, container.open_stream(*info_id, kEncryptionInfoStream));
  if (info.size() > kMaxEncryptionInfoLen) {
    return Err{ReadError::damaged_descriptor(
        "EncryptionInfo holds " + std::to_string(info.size()) + " bytes, more than the " +
        std::to_string(kMaxEncryptionInfoLen) + " a descriptor may take")};
  }
  Bytes info_bytes(static_cast<size_t>(info.size()));
  CV_TRY(info.read_at(0, info_bytes));
  CV_TRY_ASSIGN(f.descriptor, parse_encryption_info(info_bytes));

  CV_TRY_ASSIGN(StreamReader package, container.open_stream(*package_id, kEncryptedPackageStream));
  if (package.size() < kStreamSizeLen) {
    return Err{ReadError::damaged_container(
        "EncryptedPackage holds " + std::to_string(package.size()) +
        " bytes, fewer than its 8-byte size field")};
  }
  uint8_t field[kStreamSizeLen];
  CV_TRY(package.read_at(0, field));
  f.package_len = load_u64le(field);
  CV_TRY(check_package_len(f.package_len, package.size()));
  f.package = std::move(package);
  return f;
}

}  // namespace cellvault::reader
