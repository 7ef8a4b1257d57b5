// Backtraces of aborts, on request.
//
// By the time an Abort reaches the entry point the stack it was thrown from
// is gone, so the frames are taken where the abort starts, before the
// throw, and kept per thread until the entry point writes its failure
// report. Taking them costs a stack walk, so it happens only when the
// environment variable CELLVAULT_BACKTRACE is set to anything but "0" (read
// once per process).

#ifndef CELLVAULT_COMMON_BACKTRACE_H_
#define CELLVAULT_COMMON_BACKTRACE_H_

namespace cellvault {

// The environment variable that turns backtraces on.
inline constexpr const char* kBacktraceVariable = "CELLVAULT_BACKTRACE";

// backtrace_requested reports whether kBacktraceVariable asks for
// backtraces. The variable is read on the first call only.
bool backtrace_requested() noexcept;

// record_abort_backtrace replaces this thread's recorded frames with the
// current call stack when backtraces are requested; otherwise it does
// nothing. Called where an abort is thrown.
void record_abort_backtrace() noexcept;

// write_abort_backtrace writes this thread's recorded frames, one
// symbolised line each, to |fd| and forgets them. Returns false, writing
// nothing, when no frames were recorded.
bool write_abort_backtrace(int fd) noexcept;

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_BACKTRACE_H_
