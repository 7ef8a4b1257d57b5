// The sector allocator: the FAT, the list of FAT sectors (the DIFAT) and the
// list of DIFAT sectors, kept in memory and written to the file on commit.
//
// FAT sector k holds the entries of sectors k*E .. k*E+E-1, E = sector_len
// / 4. FAT sector k is recorded in the header's DIFAT entry k for k < 109,
// else in DIFAT sector (k-109) / (E-1) at entry (k-109) % (E-1); the last
// entry of a DIFAT sector links to the next one (ENDOFCHAIN in the last).
//
// Changes are made in memory and remembered; commit() stages each changed
// FAT and DIFAT sector whole (produced from memory when it is written) and
// writes them with what the layers above staged. The bytes on disk after a
// commit are those that writing every change through at once would give.

#ifndef CELLVAULT_CFB_INTERNAL_ALLOC_H_
#define CELLVAULT_CFB_INTERNAL_ALLOC_H_

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/internal/sector.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

class Allocator final : public WriteBatch::Source {
 public:
  // create validates the FAT against the file and the two sector lists and
  // returns the allocator, or InvalidData "Malformed FAT (...)". The inputs
  // are consumed either way.
  static IoResult<Allocator> create(Sectors sectors,
                                    std::vector<uint32_t> difat_sectors,
                                    std::vector<uint32_t> fat_sectors,
                                    std::vector<uint32_t> fat);

  Sectors& sectors() { return sectors_; }
  const Sectors& sectors() const { return sectors_; }
  size_t entries_per_sector() const { return sectors_.sector_len() / 4; }
  const std::vector<uint32_t>& fat() const { return fat_; }
  const std::vector<uint32_t>& fat_sectors() const { return fat_sectors_; }
  const std::vector<uint32_t>& difat_sectors() const { return difat_sectors_; }

  // next returns the id after |id| in its chain: a regular id or
  // ENDOFCHAIN. Fails with InvalidData when |id| is outside the FAT or its
  // entry is neither.
  IoResult<uint32_t> next(uint32_t id) const;

  // set_fat sets FAT entry |index| (at most the number of entries; equal
  // appends). Fails when the covering FAT sector lies beyond the file.
  IoResult<void> set_fat(uint32_t index, uint32_t value);

  // allocate_sector hands out the lowest free sector, else appends one
  // (adding FAT and DIFAT sectors when the table is full); its entry is
  // ENDOFCHAIN and |fill| is staged for it.
  IoResult<uint32_t> allocate_sector(SectorFill fill);

  // allocate_unfilled is allocate_sector without the fill: the caller must
  // stage every byte of the returned sector before the next commit.
  IoResult<uint32_t> allocate_unfilled();

  // reserve makes room in memory for |count| more sectors, ahead of a
  // long write.
  void reserve(uint64_t count);

  // append_chain hands out |count| sectors for the end of a chain whose
  // last sector is |last| (ENDOFCHAIN for a new chain), linked in order,
  // unfilled, and appends their ids to |ids|: the same sectors and FAT as
  // |count| calls of allocate_unfilled each linked after the previous one.
  IoResult<void> append_chain(uint32_t last, uint64_t count, std::vector<uint32_t>& ids);

  // free_chain marks every sector of the chain from |start| free; the
  // sectors keep their bytes.
  IoResult<void> free_chain(uint32_t start);

  // mark_all_unwritten notes that none of the FAT and DIFAT sectors is on
  // disk yet (a new file): the next commit writes them all.
  void mark_all_unwritten();

  // commit writes every change since the last commit, with what the layers
  // above staged.
  IoResult<void> commit();

  // produce gives the bytes of the FAT and DIFAT sectors.
  size_t produce(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  Allocator(Sectors sectors, std::vector<uint32_t> difat_sectors,
            std::vector<uint32_t> fat_sectors, std::vector<uint32_t> fat);

  IoResult<uint32_t> allocate(SectorFill fill, bool write_fill);
  IoResult<void> add_fat_sector();
  void mark_dirty(size_t k);
  void encode_fat(size_t k, std::span<uint8_t> out) const;
  void encode_difat(size_t d, std::span<uint8_t> out) const;

  Sectors sectors_;
  std::vector<uint32_t> difat_sectors_;
  std::vector<uint32_t> fat_sectors_;
  std::vector<uint32_t> fat_;
  // Every entry below free_hint_ is in use, so the search for the lowest
  // free entry starts there.
  size_t free_hint_ = 0;
  // Whether FAT sector number k, or DIFAT sector number d, may differ from
  // the file, and the list of the FAT sector numbers that may.
  std::vector<bool> fat_dirty_;
  std::vector<uint32_t> dirty_fat_sectors_;
  std::vector<bool> difat_dirty_;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_ALLOC_H_
