#include "reader/locked_file.h"

#include <string>

#include "common/bytes.h"

namespace cellvault::reader {

namespace {

constexpr std::string_view kInfoName = "EncryptionInfo";
constexpr std::string_view kPackageName = "EncryptedPackage";

// check_package_len compares the size field with the encrypted bytes
// after it: they must cover the package in whole 16-byte blocks, and may
// run on by less than one more segment.
ReadResult<void> check_package_len(uint64_t package_len, uint64_t stream_len) {
  const uint64_t encrypted = stream_len - kPackageSizeFieldLen;
  const uint64_t blocks = package_len / 16 + (package_len % 16 != 0);
  const std::string says =
      "EncryptedPackage says the package holds " + std::to_string(package_len) + " bytes";
  if (blocks > encrypted / 16) {
    return Err{ReadError::damaged_container(says + " but its stream holds only " +
                                            std::to_string(encrypted) + " encrypted bytes")};
  }
  if (encrypted - blocks * 16 >= kPackageSegmentLen) {
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
  CV_TRY_ASSIGN(std::optional<uint32_t> info_id, container.find_root_child(kInfoName));
  CV_TRY_ASSIGN(std::optional<uint32_t> package_id, container.find_root_child(kPackageName));
  if (!info_id && !package_id) {
    return Err{ReadError::not_encrypted(
        "it is a compound file without the EncryptionInfo and EncryptedPackage streams (a "
        "document of the older binary formats, perhaps)")};
  }
  if (!info_id || !package_id) {
    return Err{ReadError::damaged_container(
        "the " + std::string(info_id ? kPackageName : kInfoName) + " stream is missing")};
  }

  CV_TRY_ASSIGN(StreamReader info, container.open_stream(*info_id, kInfoName));
  if (info.size() > kMaxEncryptionInfoLen) {
    return Err{ReadError::damaged_descriptor(
        "EncryptionInfo holds " + std::to_string(info.size()) + " bytes, more than the " +
        std::to_string(kMaxEncryptionInfoLen) + " a descriptor may take")};
  }
  Bytes info_bytes(static_cast<size_t>(info.size()));
  CV_TRY(info.read_at(0, info_bytes));
  CV_TRY_ASSIGN(f.descriptor, parse_encryption_info(info_bytes));

  CV_TRY_ASSIGN(StreamReader package, container.open_stream(*package_id, kPackageName));
  if (package.size() < kPackageSizeFieldLen) {
    return Err{ReadError::damaged_container(
        "EncryptedPackage holds " + std::to_string(package.size()) +
        " bytes, fewer than its 8-byte size field")};
  }
  uint8_t field[kPackageSizeFieldLen];
  CV_TRY(package.read_at(0, field));
  f.package_len = load_u64le(field);
  CV_TRY(check_package_len(f.package_len, package.size()));
  f.package = std::move(package);
  return f;
}

}  // namespace cellvault::reader
