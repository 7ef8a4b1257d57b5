// libFuzzer entry of the container target; the work is run_container in targets.h.

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cellvault::fuzz::run_container(data, size);
  return 0;
}
