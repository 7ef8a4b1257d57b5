// The state that a CompoundFile and its open Stream share: the writer's
// layers and the note that a stream is open. It lives on the heap, owned
// jointly, so that moving the CompoundFile, or destroying it before its
// stream, never leaves the stream pointing at freed memory.

#ifndef CELLVAULT_CFB_CORE_H_
#define CELLVAULT_CFB_CORE_H_

#include <memory>

#include "cfb/internal/minialloc.h"
#include "common/file.h"

namespace cellvault::cfb {

struct Core {
  explicit Core(internal::MiniAllocator m) : mini(std::move(m)) {}

  internal::Sectors& sectors() { return mini.directory().allocator().sectors(); }

  // The file that create_with_path opened, null when the caller lent one.
  // Declared first, so that it is closed after the layers that write to it
  // are gone.
  std::unique_ptr<File> owned_file;
  internal::MiniAllocator mini;
  bool stream_open = false;
};

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_CORE_H_
