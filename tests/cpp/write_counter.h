// A test double for the C library's write calls: a binary that links
// write_counter.cpp has its pwrite, pwritev and fsync counted on their way
// to the C library, so that tests and benchmarks can check how writes and
// flushes are batched without a counter in the production code; fsync of
// chosen descriptors can be made to fail.

#ifndef CELLVAULT_TESTS_WRITE_COUNTER_H_
#define CELLVAULT_TESTS_WRITE_COUNTER_H_

#include <cstdint>
#include <initializer_list>

namespace cellvault::write_counter {

// calls is the number of pwrite and pwritev calls that this process has
// made so far; a call repeated after EINTR or a short write counts again.
uint64_t calls();

// fsync_calls is the number of fsync calls that this process has made so
// far, failed ones included.
uint64_t fsync_calls();

// fail_fsync_of makes every later fsync of the descriptors |fds| fail with
// |error| without reaching the C library (at most 8 descriptors; an empty
// list ends the failures).
void fail_fsync_of(std::initializer_list<int> fds, int error);

}  // namespace cellvault::write_counter

#endif  // CELLVAULT_TESTS_WRITE_COUNTER_H_
