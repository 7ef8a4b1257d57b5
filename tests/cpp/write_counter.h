// A test double for the C library's write calls: a binary that links
// write_counter.cpp has its pwrite and pwritev counted on their way to the
// C library, so that tests and benchmarks can check how writes are
// batched without a counter in the production File.

#ifndef CELLVAULT_TESTS_WRITE_COUNTER_H_
#define CELLVAULT_TESTS_WRITE_COUNTER_H_

#include <cstdint>

namespace cellvault::write_counter {

// calls is the number of pwrite and pwritev calls that this process has
// made so far; a call repeated after EINTR or a short write counts again.
uint64_t calls();

}  // namespace cellvault::write_counter

#endif  // CELLVAULT_TESTS_WRITE_COUNTER_H_
