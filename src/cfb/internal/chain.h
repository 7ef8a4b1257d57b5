// Chain: a chain of sectors seen as one byte sequence that can be
// positioned and written, growing by whole sectors when a write runs past
// its end.

#ifndef CELLVAULT_CFB_INTERNAL_CHAIN_H_
#define CELLVAULT_CFB_INTERNAL_CHAIN_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/internal/alloc.h"
#include "cfb/internal/sector.h"
#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

// ChainTail is what a stream keeps of its chain between flushes: the first
// sector, and the sectors from index |base| on (the ones it may still
// write), so that a long stream neither walks nor holds its whole chain.
struct ChainTail {
  uint32_t first = ENDOFCHAIN;
  uint64_t base = 0;
  std::vector<uint32_t> ids;

  bool empty() const { return first == ENDOFCHAIN; }
  // drop_before forgets the sectors before byte |offset| of the chain
  // (sector size |sector_len|), always keeping the last one.
  void drop_before(uint64_t offset, size_t sector_len);
};

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

  // from_tail rebuilds a chain from a kept tail (an empty tail: a new
  // chain). Such a chain forgets the sectors that a write has passed,
  // except those from byte |keep_from| on, which a later seek may need.
  static Chain from_tail(Allocator& alloc, ChainTail tail, SectorFill fill, uint64_t keep_from);

  // first_id is the chain's first sector, ENDOFCHAIN when it is empty.
  uint32_t first_id() const { return first_; }
  uint64_t len() const { return (base_ + ids_.size()) * alloc_->sectors().sector_len(); }
  uint64_t position() const { return position_; }
  // ids are the chain's sectors (from index base on for a tail chain).
  const std::vector<uint32_t>& ids() const { return ids_; }
  std::vector<uint32_t> take_ids() && { return std::move(ids_); }
  ChainTail take_tail() && { return ChainTail{first_, base_, std::move(ids_)}; }

  // seek positions the chain at byte |p|; fails with InvalidInput "Cannot
  // seek to {p}, chain length is {length} bytes" when |p| is beyond the
  // end. Never grows the chain.
  IoResult<void> seek(uint64_t p);

  // write_all stages |data| at the position for the next commit and
  // advances the position, adding sectors at the end as needed. A new
  // sector that the data does not fill is padded with the fill. The data
  // must stay unchanged until the commit.
  IoResult<void> write_all(ByteView data) { return write_parts({&data, 1}); }

  // write_parts is write_all of the concatenation of |parts|.
  IoResult<void> write_parts(std::span<const ByteView> parts);

 private:
  Chain(Allocator& alloc, std::vector<uint32_t> ids, SectorFill fill)
      : alloc_(&alloc),
        ids_(std::move(ids)),
        first_(ids_.empty() ? ENDOFCHAIN : ids_.front()),
        fill_(fill) {}

  IoResult<void> grow(uint64_t bytes);
  IoResult<void> write_batch(std::span<const ByteView> parts, size_t& part, size_t& in_part,
                             uint64_t bytes);

  Allocator* alloc_;
  std::vector<uint32_t> ids_;
  uint64_t base_ = 0;  // sectors before ids_[0] that were forgotten
  uint32_t first_;
  uint64_t position_ = 0;
  SectorFill fill_;
  bool forget_ = false;
  uint64_t keep_from_ = 0;
};

// cannot_seek is the InvalidInput error of positioning past a chain's end.
IoError cannot_seek(uint64_t position, uint64_t length);

// walk_chain collects the ids of the chain from |start| (ENDOFCHAIN: none),
// asking |next| for each successor. A chain that comes back to |start| is
// InvalidData "{what} contained duplicate sector id {id}".
template <class Next>
IoResult<std::vector<uint32_t>> walk_chain(uint32_t start, Next&& next, std::string_view what) {
  std::vector<uint32_t> ids;
  uint32_t id = start;
  while (id != ENDOFCHAIN) {
    ids.push_back(id);
    CV_TRY_ASSIGN(id, next(id));
    if (id == start) {
      return Err{IoError::custom(ErrorKind::InvalidData, std::string(what) +
                                                             " contained duplicate sector id " +
                                                             std::to_string(id))};
    }
  }
  return ids;
}

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_CHAIN_H_
