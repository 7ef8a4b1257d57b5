// Directory time stamps as FILETIME: 100-nanosecond intervals since
// 1601-01-01 UTC.

#ifndef CELLVAULT_CFB_INTERNAL_TIME_H_
#define CELLVAULT_CFB_INTERNAL_TIME_H_

#include <chrono>
#include <cstdint>

namespace cellvault::cfb::internal {

// The FILETIME of 1970-01-01 00:00:00 UTC.
inline constexpr uint64_t kUnixEpochFiletime = 116444736000000000ull;

// filetime_from converts |t| to FILETIME, saturating at both ends (0 for
// times before 1601, 2^64 - 1 far in the future).
uint64_t filetime_from(std::chrono::system_clock::time_point t);

// current_timestamp is the wall clock's time as FILETIME.
uint64_t current_timestamp();

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_TIME_H_
