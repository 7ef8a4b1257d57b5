#include "cli/interrupt.h"

#include <atomic>

namespace cellvault::cli {
namespace {

// Lock-free, so reading and writing it is safe in a signal handler.
std::atomic<int> g_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int sig) {
  g_requested.store(sig);
  // The second signal of this kind ends the process at once.
  signal(sig, SIG_DFL);
}

}  // namespace

StopOnSignal::StopOnSignal() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the workers' reads and writes go on
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &old_[i]);
    // A signal that the caller chose to ignore (nohup, a background job of
    // a script) stays ignored.
    if (old_[i].sa_handler == SIG_IGN) sigaction(kSignals[i], &old_[i], nullptr);
  }
}

StopOnSignal::~StopOnSignal() {
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &old_[i], nullptr);
  }
}

int StopOnSignal::requested() { return g_requested.load(); }

void StopOnSignal::reraise() {
  const int sig = g_requested.load();
  if (sig == 0) return;
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace cellvault::cli
