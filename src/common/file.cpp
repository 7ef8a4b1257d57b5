#include "common/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace cellvault {

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

IoResult<std::string> path_to_c(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Err{IoError::custom(ErrorKind::InvalidInput,
                               "file name contained an unexpected NUL byte")};
  }
  return std::string(path);
}

IoResult<File> File::open_at(int dir_fd, std::string_view path, int flags,
                             unsigned mode) {
  CV_TRY_ASSIGN(std::string c_path, path_to_c(path));
  int fd;
  do {
    fd = ::openat(dir_fd, c_path.c_str(), flags | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Err{IoError::from_errno()};
  return File(fd);
}

IoResult<File> File::open_read(std::string_view path) {
  return open_at(AT_FDCWD, path, O_RDONLY);
}

IoResult<File> File::create(std::string_view path) {
  return open_at(AT_FDCWD, path, O_RDWR | O_CREAT | O_TRUNC);
}

IoResult<size_t> File::read(std::span<uint8_t> out) {
  for (;;) {
    ssize_t n = ::read(fd_, out.data(), out.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Err{IoError::from_errno()};
  }
}

uint64_t File::remaining_len_hint() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    return 0;
  }
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0 || pos > st.st_size) return 0;
  return static_cast<uint64_t>(st.st_size - pos);
}

IoResult<Bytes> File::read_to_end() {
  Bytes out;
  // The size is only a hint for the first allocation; the loop reads until
  // the OS reports the end, so a file that grows or shrinks meanwhile is
  // still read correctly.
  if (const uint64_t hint = remaining_len_hint(); hint > 0) {
    out.reserve(static_cast<size_t>(hint) + 1);
  }
  size_t len = 0;
  for (;;) {
    if (len == out.capacity()) out.reserve(out.capacity() * 2 + 8192);
    out.resize(out.capacity());
    CV_TRY_ASSIGN(const size_t n, read(std::span<uint8_t>(out).subspan(len)));
    if (n == 0) break;
    len += n;
  }
  out.resize(len);
  return out;
}

IoResult<void> File::write_at(ByteView data, uint64_t offset) {
  const uint8_t* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::pwrite(fd_, p, left, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{IoError::from_errno()};
    }
    if (n == 0) {
      return Err{IoError::custom(ErrorKind::WriteZero,
                                 std::string(kWriteZeroMessage))};
    }
    p += n;
    left -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

IoResult<void> File::write_vectored_at(std::span<const struct iovec> pieces,
                                       uint64_t offset) {
  // Copies of the descriptors, so that a partial write can trim them.
  struct iovec iov[IOV_MAX];
  while (!pieces.empty()) {
    const size_t count = std::min<size_t>(pieces.size(), IOV_MAX);
    const std::span<const struct iovec> head = pieces.first(count);
    std::copy(head.begin(), head.end(), iov);
    pieces = pieces.subspan(count);
    size_t first = 0;
    while (first < count) {
      ssize_t n = ::pwritev(fd_, iov + first, static_cast<int>(count - first),
                            static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Err{IoError::from_errno()};
      }
      if (n == 0) {
        return Err{IoError::custom(ErrorKind::WriteZero, std::string(kWriteZeroMessage))};
      }
      offset += static_cast<uint64_t>(n);
      auto left = static_cast<size_t>(n);
      while (first < count && left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        ++first;
      }
      if (left > 0) {
        iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
      }
    }
  }
  return {};
}

IoResult<size_t> File::read_at(std::span<uint8_t> out, uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Err{IoError::from_errno()};
  }
}

IoResult<void> File::sync() {
  int rc;
  do {
    rc = ::fsync(fd_);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return Err{IoError::from_errno()};
  return {};
}

IoResult<void> File::close() {
  if (fd_ < 0) return {};
  // Linux releases the descriptor even when close(2) fails, so it must not
  // be closed again whatever the result.
  int rc = ::close(std::exchange(fd_, -1));
  if (rc < 0 && errno != EINTR) return Err{IoError::from_errno()};
  return {};
}

}  // namespace cellvault
