// Stopping a run cleanly on SIGINT, SIGTERM or SIGHUP.
//
// The core cannot be cancelled in the middle of a file, and killing the
// process there would leave the atomic output's temporary file behind. So
// the first signal only asks the workers to start no new file; the files in
// progress finish (or fail) and clean up after themselves. A second signal
// has its default effect at once.

#ifndef CELLVAULT_CLI_INTERRUPT_H_
#define CELLVAULT_CLI_INTERRUPT_H_

#include <csignal>
#include <cstddef>
#include <iterator>

namespace cellvault::cli {

class StopOnSignal {
 public:
  // Installs the handlers; the destructor puts the previous ones back.
  StopOnSignal();
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  // requested is the number of the signal that arrived, or 0. Any thread
  // may ask.
  static int requested();

  // reraise restores the default action of the signal that arrived and
  // raises it again, so that the caller's shell sees the process ended by
  // it. Does nothing when no signal arrived.
  void reraise();

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[std::size(kSignals)] = {};
};

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_INTERRUPT_H_
