#include "common/source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace cellvault {

IoResult<File> open_source(std::string_view path) {
  CV_TRY_ASSIGN(File file, File::open_at(AT_FDCWD, path, O_RDONLY | O_NONBLOCK));
  if (!may_wait(file)) {
    // O_NONBLOCK does nothing for a regular file on Linux; clearing it
    // keeps the descriptor exactly as a plain open would have made it.
    const int flags = ::fcntl(file.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(file.fd(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
      return Err{IoError::from_errno()};
    }
  }
  return file;
}

IoResult<File> open_stdin() {
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Err{IoError::from_errno()};
  return File(fd);
}

bool may_wait(const File& file) {
  struct stat st;
  // A descriptor that cannot be described is waited for: poll costs
  // nothing when input is there, and the read then reports the error.
  return ::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode);
}

std::optional<uint64_t> streamed_len(const File& file, uint64_t min_len) {
  if (may_wait(file)) return std::nullopt;
  const uint64_t len = file.remaining_len_hint();
  if (len <= min_len) return std::nullopt;
  return len;
}

IoResult<void> InputWait::wait(const File& file) {
  using std::chrono::milliseconds;
  bool ask = std::chrono::steady_clock::now() - last_asked_ >= milliseconds(kCancelPollMs);
  for (;;) {
    if (ask) {
      last_asked_ = std::chrono::steady_clock::now();
      if (cancel_.requested()) {
        return Err{IoError::custom(ErrorKind::Interrupted, std::string(kCancelledMessage))};
      }
    }
    struct pollfd ready = {file.fd(), POLLIN, 0};
    const int n = ::poll(&ready, 1, kCancelPollMs);
    // Input, its end (POLLHUP) or an error condition: the read says which.
    if (n > 0) return {};
    if (n < 0 && errno != EINTR) return Err{IoError::from_errno()};
    // A timeout, or a signal: its handler may have asked for the stop.
    ask = true;
  }
}

}  // namespace cellvault
