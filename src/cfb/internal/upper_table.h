// The full Unicode upper-case mapping, as a table generated from Python's
// str.upper() by scripts/gen_upper_table.py (see upper_table.cpp).

#ifndef CELLVAULT_CFB_INTERNAL_UPPER_TABLE_H_
#define CELLVAULT_CFB_INTERNAL_UPPER_TABLE_H_

#include <cstddef>
#include <cstdint>

namespace cellvault::cfb::internal {

// UpperRun maps first, first + stride, ... up to last to themselves plus
// delta. Runs are sorted by first and do not overlap.
struct UpperRun {
  uint32_t first;
  uint32_t last;
  int32_t stride;
  int32_t delta;
};

// UpperMulti maps one code point to two or three (unused slots are 0).
struct UpperMulti {
  uint32_t code_point;
  uint32_t upper[3];
};

extern const UpperRun kUpperRuns[];
extern const size_t kUpperRunCount;
extern const UpperMulti kUpperMulti[];
extern const size_t kUpperMultiCount;

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_UPPER_TABLE_H_
