// The state that a CompoundFile and its open Stream share: the writer's
// layers and the note that a stream is open. It lives on the heap, owned
// jointly, so that moving the CompoundFile, or destroying it before its
// stream, never leaves the stream pointing at freed memory.

#ifndef CELLVAULT_CFB_CORE_H_
#define CELLVAULT_CFB_CORE_H_

#include "cfb/internal/minialloc.h"

namespace cellvault::cfb {

struct Core {
  explicit Core(internal::MiniAllocator m) : mini(std::move(m)) {}

  internal::MiniAllocator mini;
  bool stream_open = false;
};

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_CORE_H_
