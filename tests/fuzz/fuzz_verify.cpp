// libFuzzer entry of the verify target; the work is run_verify in targets.h.

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cellvault::fuzz::run_verify(data, size);
  return 0;
}
