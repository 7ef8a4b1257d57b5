// Running a pipeline call at an entry point.
//
// run_guarded calls the pipeline and turns whatever it throws into a
// CallFailure value, so that no C++ exception crosses into the caller (the
// CPython interpreter or the command's main). report_failure writes the
// failure report on standard error.

#ifndef CELLVAULT_COMMON_GUARD_H_
#define CELLVAULT_COMMON_GUARD_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace cellvault {

// CallFailure: how a call ended that did not return normally.
struct CallFailure {
  enum class Kind {
    // An Abort or another exception: |message| says what failed.
    Panic,
    // Memory ran out (std::bad_alloc); |message| is empty.
    OutOfMemory,
  };
  Kind kind = Kind::Panic;
  std::string message;
  // "file:line:column" of the failing code, empty when unknown.
  std::string location;
};

// The message of an abort that carries no text of its own.
inline constexpr std::string_view kEmptyAbortMessage =
    "the call was aborted without a message";

// failure_from_current_exception classifies the exception being handled:
// an Abort gives Panic with its message (kEmptyAbortMessage when empty) and
// location, std::bad_alloc gives OutOfMemory, another std::exception gives
// Panic with its what(), anything else Panic with a fixed text. Must be
// called inside a catch block. Running out of memory while copying the
// message gives OutOfMemory.
CallFailure failure_from_current_exception() noexcept;

// run_guarded calls |f|. Returns nothing when it returns, or the failure
// that it threw; never throws itself.
template <class F>
std::optional<CallFailure> run_guarded(F&& f) noexcept {
  try {
    std::forward<F>(f)();
    return std::nullopt;
  } catch (...) {
    return failure_from_current_exception();
  }
}

// The environment variable setting that the first report suggests.
inline constexpr std::string_view kBacktraceNote =
    "note: run with `CELLVAULT_BACKTRACE=1` environment variable to display "
    "a backtrace\n";

// format_failure_report returns the report of |failure| on thread
// |thread|: a line naming the thread and the location, the message, and
// kBacktraceNote when |with_note|.
std::string format_failure_report(const CallFailure& failure,
                                  std::string_view thread, bool with_note);

// report_failure writes the report of |failure| for the calling thread on
// standard error. The backtrace note comes with the first report of the
// process only; when backtraces are requested, the frames recorded at the
// abort follow instead. Errors of the write are ignored: there is nowhere
// left to report them.
void report_failure(const CallFailure& failure) noexcept;

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_GUARD_H_
