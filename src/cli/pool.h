// The pool of threads that works through the files of a run.

#ifndef CELLVAULT_CLI_POOL_H_
#define CELLVAULT_CLI_POOL_H_

#include <cstddef>
#include <functional>

namespace cellvault::cli {

// on_threads runs |loop| on |threads| threads at once (at least one, the
// caller's among them; fewer when no more can be started) and returns
// once every one has returned.
void on_threads(size_t threads, const std::function<void()>& loop);

// for_each_file calls |work|(i) for every i below |count| on up to
// |threads| threads (at least one, the caller's among them), each i once,
// in rising order of start. A stop signal (StopOnSignal) ends the run: no
// call starts after it, and the calls in progress finish.
void for_each_file(size_t count, unsigned threads, const std::function<void(size_t)>& work);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_POOL_H_
