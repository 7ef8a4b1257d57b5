#include "reader/source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace cellvault::reader {

ReadError past_end_error(uint64_t offset, uint64_t len, uint64_t size) {
  return ReadError::damaged_container(
      "the file is truncated: " + std::to_string(len) + " bytes at offset " +
      std::to_string(offset) + " lie past its end at " + std::to_string(size));
}

namespace {

bool in_range(uint64_t offset, uint64_t len, uint64_t size) {
  return offset <= size && len <= size - offset;
}

}  // namespace

ReadResult<FileSource> FileSource::open(File& file) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return Err{ReadError::io(IoError::from_errno())};
  if (S_ISDIR(st.st_mode)) return Err{ReadError::io(IoError::from_os(EISDIR))};
  if (!S_ISREG(st.st_mode)) {
    // Pipes and devices have no size to check offsets against; the reader
    // needs random access, so it takes regular files only.
    return Err{ReadError::io(
        IoError::custom(ErrorKind::InvalidInput, "not a regular file"))};
  }
  return FileSource(file, static_cast<uint64_t>(st.st_size));
}

ReadResult<void> FileSource::read_exact(uint64_t offset, std::span<uint8_t> out) {
  if (!in_range(offset, out.size(), size_)) {
    return Err{past_end_error(offset, out.size(), size_)};
  }
  size_t done = 0;
  while (done < out.size()) {
    IoResult<size_t> got = file_->read_at(out.subspan(done), offset + done);
    if (!got.ok()) return Err{ReadError::io(std::move(got).error())};
    if (*got == 0) {
      return Err{ReadError::io(IoError::custom(
          ErrorKind::UnexpectedEof, "the file became shorter while it was read"))};
    }
    done += *got;
  }
  return {};
}

ReadResult<void> MemorySource::read_exact(uint64_t offset, std::span<uint8_t> out) {
  if (!in_range(offset, out.size(), data_.size())) {
    return Err{past_end_error(offset, out.size(), data_.size())};
  }
  if (!out.empty()) std::memcpy(out.data(), data_.data() + offset, out.size());
  return {};
}

}  // namespace cellvault::reader
