#include "cfb/internal/time.h"

#include <limits>

namespace cellvault::cfb::internal {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// ticks counts the 100-nanosecond intervals of |secs| seconds and |nanos|
// nanoseconds, saturating.
uint64_t ticks(uint64_t secs, uint64_t nanos) {
  if (secs > (kMax - nanos / 100) / 10000000) return kMax;
  return secs * 10000000 + nanos / 100;
}

}  // namespace

uint64_t filetime_from(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto epoch = system_clock::time_point{};
  const bool before = t < epoch;
  const nanoseconds d = duration_cast<nanoseconds>(before ? epoch - t : t - epoch);
  const auto secs = static_cast<uint64_t>(duration_cast<seconds>(d).count());
  const auto nanos = static_cast<uint64_t>((d - seconds(secs)).count());
  const uint64_t n = ticks(secs, nanos);
  if (before) return n > kUnixEpochFiletime ? 0 : kUnixEpochFiletime - n;
  return n > kMax - kUnixEpochFiletime ? kMax : n + kUnixEpochFiletime;
}

uint64_t current_timestamp() { return filetime_from(std::chrono::system_clock::now()); }

}  // namespace cellvault::cfb::internal
