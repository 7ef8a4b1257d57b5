#include "common/backtrace.h"

// musl has no <execinfo.h>: there the failure report goes without a
// backtrace (CELLVAULT_BACKTRACE is then accepted and ignored).
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define CELLVAULT_HAVE_EXECINFO 1
#else
#define CELLVAULT_HAVE_EXECINFO 0
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <unistd.h>

#include "common/symbolize.h"

namespace cellvault {
namespace {

constexpr int kMaxFrames = 64;

// The frames of the last abort on this thread. Plain storage: taking a
// backtrace must not allocate, since the abort may be about memory.
struct RecordedFrames {
  void* frames[kMaxFrames];
  int count = 0;
};
thread_local RecordedFrames recorded;

}  // namespace

bool backtrace_requested() noexcept {
  static const bool requested = [] {
    const char* value = std::getenv(kBacktraceVariable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
  }();
  return requested;
}

void record_abort_backtrace() noexcept {
  if (!backtrace_requested()) return;
#if CELLVAULT_HAVE_EXECINFO
  recorded.count = ::backtrace(recorded.frames, kMaxFrames);
#endif
}

bool write_abort_backtrace(int fd) noexcept {
  if (recorded.count <= 0) return false;
  const std::span<void* const> frames(recorded.frames, static_cast<size_t>(recorded.count));
  recorded.count = 0;
  try {
    const std::string text = symbolize_frames(frames);
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.remove_prefix(static_cast<size_t>(n));
    }
  } catch (...) {
    // Naming the frames needs memory; without it, the raw frames still
    // say where the failure happened (backtrace_symbols_fd allocates
    // nothing).
#if CELLVAULT_HAVE_EXECINFO
    ::backtrace_symbols_fd(frames.data(), static_cast<int>(frames.size()), fd);
#endif
  }
  return true;
}

}  // namespace cellvault
