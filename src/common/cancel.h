// CancelHook: how a call that waits for input learns that it should stop.
//
// Reading a source may wait without bound: a FIFO that no writer ever
// opens, a terminal, a pipe whose writer is stuck. The waiting loop asks
// the hook whenever a signal interrupts the wait and at least every
// kCancelPollMs meanwhile; the entry point that made the call answers from
// its own state (the interpreter's signal handlers, the command line's stop
// flag). The hook travels with the call, so two calls in one process may
// be cancelled independently. A default-constructed hook never cancels.

#ifndef CELLVAULT_COMMON_CANCEL_H_
#define CELLVAULT_COMMON_CANCEL_H_

#include <string_view>

namespace cellvault {

class CancelHook {
 public:
  // |ask| returns true when the call should stop; it is given |context|
  // and called on the thread that waits.
  using AskFn = bool (*)(void* context);

  constexpr CancelHook() = default;
  constexpr CancelHook(AskFn ask, void* context) : ask_(ask), context_(context) {}

  bool requested() const { return ask_ != nullptr && ask_(context_); }
  // active tells whether anyone is asked at all.
  bool active() const { return ask_ != nullptr; }

 private:
  AskFn ask_ = nullptr;
  void* context_ = nullptr;
};

// How long a wait for input goes on before it asks the hook again: short
// enough that a stop feels immediate, long enough to cost nothing.
inline constexpr int kCancelPollMs = 100;

// The message of the Interrupted error that a cancelled wait returns.
inline constexpr std::string_view kCancelledMessage =
    "interrupted while waiting for input";
// The same for a wait for the reader of an output that is a FIFO.
inline constexpr std::string_view kCancelledOutputMessage =
    "interrupted while waiting for a reader of the output";

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_CANCEL_H_
