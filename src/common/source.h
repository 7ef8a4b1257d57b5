// Opening a source and waiting for its input so that the wait can stop.
//
// open(2) of a FIFO for reading sleeps until some process opens it for
// writing, and read(2) of a pipe or a terminal sleeps until input comes;
// neither wakes for anything but a signal delivered to that very thread.
// So a source is opened without waiting (O_NONBLOCK), and one that is not a
// regular file is read only once poll(2) reports input, with a timeout
// between which the wait asks its CancelHook whether to go on.

#ifndef CELLVAULT_COMMON_SOURCE_H_
#define CELLVAULT_COMMON_SOURCE_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/cancel.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault {

// open_source opens |path| read-only and never waits: a FIFO without a
// writer opens at once, and its wait moves to the reads (InputWait). A
// regular file gets its blocking mode back, so it reads as before. The
// errors are those of open(2).
IoResult<File> open_source(std::string_view path);

// open_stdin returns a duplicate of the process's standard input, so that
// closing it leaves standard input open. Its mode is left alone: the open
// file is shared with other processes (a non-blocking one is waited for
// like any other). The errors are those of fcntl(2).
IoResult<File> open_stdin();

// may_wait tells whether reading |file| can wait for input: it is not a
// regular file (a FIFO, a pipe, a terminal, a socket).
bool may_wait(const File& file);

// Sources up to this length are read whole: one buffer of this size is
// what streaming them would need anyway.
inline constexpr uint64_t kStreamMinLen = uint64_t{4} << 20;

// streamed_len returns the length of the package that |file| holds from
// its current position on when it is best read a chunk at a time: a
// regular file longer than |min_len|. Anything else (pipes, devices, an
// empty or short file, including the files of /proc and /sys, whose size
// says nothing) gives nullopt: it is read whole.
std::optional<uint64_t> streamed_len(const File& file,
                                     uint64_t min_len = kStreamMinLen);

// InputWait waits for input on a descriptor that may_wait, asking |cancel|
// whenever a signal interrupts the wait and at least every kCancelPollMs,
// also while input keeps coming.
class InputWait {
 public:
  explicit InputWait(const CancelHook& cancel) : cancel_(cancel) {}

  // wait returns once |file| has input, the end of it, or an error for the
  // next read to report. A stop that the hook asks for is the error
  // Interrupted kCancelledMessage; a failure of poll is its OS error.
  IoResult<void> wait(const File& file);

 private:
  const CancelHook& cancel_;
  std::chrono::steady_clock::time_point last_asked_{};
};

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_SOURCE_H_
