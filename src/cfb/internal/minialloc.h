// The mini stream allocator: streams shorter than 4096 bytes live in 64-byte
// mini sectors inside the mini stream (the root entry's chain), chained
// through the MiniFAT, which is itself stored in a chain of regular sectors
// ([MS-CFB] 2.3, 2.5).
//
// Like the FAT, the MiniFAT is changed in memory and the sectors that hold
// changed entries are staged whole on commit; the two chains' sectors are
// kept so that a mini sector is found without walking the FAT.

#ifndef CELLVAULT_CFB_INTERNAL_MINIALLOC_H_
#define CELLVAULT_CFB_INTERNAL_MINIALLOC_H_

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/internal/directory.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

class MiniAllocator final : public WriteBatch::Source {
 public:
  // create checks |minifat| against the root entry's mini stream and
  // returns the allocator, or InvalidData "Malformed MiniFAT (...)".
  static IoResult<MiniAllocator> create(Directory directory, std::vector<uint32_t> minifat,
                                        uint32_t minifat_start);

  Directory& directory() { return dir_; }
  const Directory& directory() const { return dir_; }
  const std::vector<uint32_t>& minifat() const { return minifat_; }
  uint32_t minifat_start() const { return minifat_start_; }

  // next_mini_sector returns the successor of mini sector |id|: a regular
  // id or ENDOFCHAIN, else InvalidData.
  IoResult<uint32_t> next_mini_sector(uint32_t id) const;

  // set_minifat sets MiniFAT entry |index| (equal to the count: appends).
  IoResult<void> set_minifat(uint32_t index, uint32_t value);

  // allocate_mini_sector returns a mini sector whose entry is now |value|:
  // the lowest free one, else a new one at the end, growing the MiniFAT
  // and the mini stream as needed.
  IoResult<uint32_t> allocate_mini_sector(uint32_t value);

  // free_mini_chain frees the chain from |start| and trims free entries at
  // the MiniFAT's end, shrinking the mini stream's size.
  IoResult<void> free_mini_chain(uint32_t start);

  // mini_sector_offset is the file offset of mini sector |id|; InvalidData
  // "invalid sector id" when it lies beyond the mini stream's chain.
  IoResult<uint64_t> mini_sector_offset(uint32_t id) const;

  // commit writes the changed MiniFAT sectors, the root entry, what the
  // layers below changed and what the caller staged.
  IoResult<void> commit();

  // produce gives the bytes of the MiniFAT sectors.
  size_t produce(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  MiniAllocator(Directory dir, std::vector<uint32_t> minifat, uint32_t minifat_start,
                std::vector<uint32_t> minifat_chain, std::vector<uint32_t> stream_chain)
      : dir_(std::move(dir)),
        minifat_(std::move(minifat)),
        minifat_start_(minifat_start),
        minifat_chain_(std::move(minifat_chain)),
        stream_chain_(std::move(stream_chain)) {}

  IoResult<void> grow_minifat();
  IoResult<void> grow_mini_stream();

  Directory dir_;
  std::vector<uint32_t> minifat_;
  uint32_t minifat_start_;
  std::vector<uint32_t> minifat_chain_;
  std::vector<uint32_t> stream_chain_;
  size_t free_hint_ = 0;
  size_t dirty_lo_ = 0;
  size_t dirty_hi_ = 0;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_MINIALLOC_H_
