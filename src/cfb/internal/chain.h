// Chain: a chain of sectors seen as one byte sequence that can be
// positioned and written, growing by whole sectors when a write runs past
// its end.

#ifndef CELLVAULT_CFB_INTERNAL_CHAIN_H_
#define CELLVAULT_CFB_INTERNAL_CHAIN_H_

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/internal/alloc.h"
#include "cfb/internal/sector.h"
#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

class Chain {
 public:
  // open walks the chain that begins at |start| (ENDOFCHAIN: an empty
  // chain). Fails with the errors of Allocator::next, or InvalidData "Chain
  // contained duplicate sector id {id}" when it loops back to |start|.
  // Sectors that the chain adds are filled with |fill|. The chain uses
  // |alloc| exclusively while it lives.
  static IoResult<Chain> open(Allocator& alloc, uint32_t start, SectorFill fill);

  // from_ids rebuilds a chain from ids that its owner kept (they must be
  // the chain's current sectors in order), without walking the FAT.
  static Chain from_ids(Allocator& alloc, std::vector<uint32_t> ids, SectorFill fill) {
    return Chain(alloc, std::move(ids), fill);
  }

  // first_id is the chain's first sector, ENDOFCHAIN when it is empty.
  uint32_t first_id() const { return ids_.empty() ? ENDOFCHAIN : ids_.front(); }
  uint64_t len() const { return uint64_t{ids_.size()} * alloc_->sectors().sector_len(); }
  uint64_t position() const { return position_; }
  const std::vector<uint32_t>& ids() const { return ids_; }
  std::vector<uint32_t> take_ids() && { return std::move(ids_); }

  // seek positions the chain at byte |p|; fails with InvalidInput "Cannot
  // seek to {p}, chain length is {length} bytes" when |p| is beyond the
  // end. Never grows the chain.
  IoResult<void> seek(uint64_t p);

  // write_all writes |data| at the position and advances it, adding
  // sectors at the end as needed. A new sector that the data does not fill
  // is padded with the fill.
  IoResult<void> write_all(ByteView data) { return write_parts({&data, 1}); }

  // write_parts is write_all of the concatenation of |parts|. Pieces that
  // lie next to each other in the file go out in one call, and so do the
  // FAT and DIFAT sectors between two runs of new sectors (their content is
  // final once the chain has grown), so a long write costs a few calls.
  IoResult<void> write_parts(std::span<const ByteView> parts);

  // into_subsector consumes the chain and returns a writer for bytes
  // |offset| onward of piece |index| of size |sub_len| (a divisor of the
  // sector size). Fails with InvalidData "invalid sector id" when the piece
  // lies beyond the chain.
  IoResult<SectorWriter> into_subsector(uint32_t index, size_t sub_len, size_t offset) &&;

 private:
  Chain(Allocator& alloc, std::vector<uint32_t> ids, SectorFill fill)
      : alloc_(&alloc), ids_(std::move(ids)), fill_(fill) {}

  IoResult<void> grow(uint64_t bytes);

  Allocator* alloc_;
  std::vector<uint32_t> ids_;
  uint64_t position_ = 0;
  SectorFill fill_;
};

// cannot_seek is the InvalidInput error of positioning past a chain's end.
IoError cannot_seek(uint64_t position, uint64_t length);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_CHAIN_H_
