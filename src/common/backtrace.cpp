#include "common/backtrace.h"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>

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
  recorded.count = ::backtrace(recorded.frames, kMaxFrames);
}

bool write_abort_backtrace(int fd) noexcept {
  if (recorded.count <= 0) return false;
  // backtrace_symbols_fd writes straight to the descriptor without
  // allocating, which suits a report written after a failure.
  ::backtrace_symbols_fd(recorded.frames, recorded.count, fd);
  recorded.count = 0;
  return true;
}

}  // namespace cellvault
