// libFuzzer entry of the descriptor target; the work is run_descriptor in targets.h.

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cellvault::fuzz::run_descriptor(data, size);
  return 0;
}
