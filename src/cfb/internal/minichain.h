// MiniChain: a chain of mini sectors seen as one byte sequence that can be
// positioned, read and written, growing by one mini sector at a time.

#ifndef CELLVAULT_CFB_INTERNAL_MINICHAIN_H_
#define CELLVAULT_CFB_INTERNAL_MINICHAIN_H_

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/internal/minialloc.h"
#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

class MiniChain {
 public:
  // open walks the mini chain from |start| (ENDOFCHAIN: empty). Fails with
  // the errors of next_mini_sector, or InvalidData "Minichain contained
  // duplicate sector id {id}" when it loops back to |start|.
  static IoResult<MiniChain> open(MiniAllocator& minialloc, uint32_t start);

  uint32_t first_id() const { return ids_.empty() ? ENDOFCHAIN : ids_.front(); }
  uint64_t len() const { return uint64_t{ids_.size()} * kMiniSectorLen; }
  const std::vector<uint32_t>& ids() const { return ids_; }

  // seek positions the chain at byte |t|; InvalidInput "Cannot seek to
  // {t}, chain length is {length} bytes" beyond the end.
  IoResult<void> seek(uint64_t t);

  // read reads at most to the end of the current mini sector and returns
  // the count (0 at the chain's end).
  IoResult<size_t> read(std::span<uint8_t> out);
  // read_exact fills |out| or fails with UnexpectedEof "failed to fill
  // whole buffer".
  IoResult<void> read_exact(std::span<uint8_t> out);

  // write_all stages |data| at the position for the next commit, adding
  // mini sectors at the end as needed. The data must stay unchanged until
  // the commit.
  IoResult<void> write_all(ByteView data);

 private:
  MiniChain(MiniAllocator& minialloc, std::vector<uint32_t> ids)
      : minialloc_(&minialloc), ids_(std::move(ids)) {}

  MiniAllocator* minialloc_;
  std::vector<uint32_t> ids_;
  uint64_t position_ = 0;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_MINICHAIN_H_
