// Timing helpers shared by the C++ benchmarks: one timed call, and the
// median of repetitions.

#ifndef CELLVAULT_BENCH_BENCH_TIMING_H_
#define CELLVAULT_BENCH_BENCH_TIMING_H_

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace cellvault::bench {

// seconds returns how long |f| took on the steady clock.
inline double seconds(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace cellvault::bench

#endif  // CELLVAULT_BENCH_BENCH_TIMING_H_
