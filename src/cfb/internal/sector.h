// Sector I/O: where sector n lies in the file, how a new sector is filled,
// and the writes that the layers above stage until their commit.
//
// Sector n starts at file offset (n + 1) * sector_len; the header takes the
// whole first sector-sized block (512 header bytes, then zeros in version
// 4). The header is kept in memory here and staged whole, with the rest of
// its block, when a commit finds it changed.
//
// Every layer stages its writes here (a stream's bytes as views, its
// tables as sources that produce their current bytes) and the commit at the
// end of an operation writes them all at once, so that no layer needs to
// know which of its writes lie next to another layer's.

#ifndef CELLVAULT_CFB_INTERNAL_SECTOR_H_
#define CELLVAULT_CFB_INTERNAL_SECTOR_H_

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/format.h"
#include "cfb/internal/header.h"
#include "common/bytes.h"
#include "common/error.h"
#include "common/file.h"
#include "common/write_batch.h"

namespace cellvault::cfb::internal {

// SectorFill says how a sector that is being initialised is filled.
enum class SectorFill {
  kZero,       // sector_len zero bytes
  kFat,        // sector_len / 4 entries FREESECT
  kDifat,      // FREESECT entries, the last one ENDOFCHAIN (the link)
  kDirectory,  // sector_len / 128 unallocated directory entries
};

class Sectors final : public WriteBatch::Source {
 public:
  // Sectors writes to |file|, which it borrows, and which already holds
  // |sector_count| sectors after the header described by |header| (or
  // will once the first commit has written them).
  Sectors(File& file, Header header, uint32_t sector_count);

  Version version() const { return header_.version; }
  size_t sector_len() const { return sector_len_; }
  uint32_t sector_count() const { return sector_count_; }
  uint64_t sector_offset(uint32_t id) const {
    return (uint64_t{id} + 1) * sector_len_;
  }
  // sector_at is the id of the sector that holds file offset |offset|, or
  // FREESECT in the header block.
  uint32_t sector_at(uint64_t offset) const {
    return offset < sector_len_ ? FREESECT : static_cast<uint32_t>(offset / sector_len_ - 1);
  }

  // check_sector fails with InvalidData "Tried to seek to sector {id}, but
  // sector count is only {count}" when |id| lies beyond the file.
  IoResult<void> check_sector(uint32_t id) const;

  // init_sector makes sector |id| exist (appending it when |id| equals
  // sector_count) and stages |fill| for it. Fails with InvalidData "Tried
  // to initialize sector ..." when |id| would leave a gap; the count stays
  // raised when the write fails.
  IoResult<void> init_sector(uint32_t id, SectorFill fill);

  // claim_sector is init_sector without the fill: the caller takes on
  // staging every byte of the sector before the next commit.
  IoResult<void> claim_sector(uint32_t id);
  // claim_sectors appends |count| sectors from sector_count on, unwritten,
  // on the same terms.
  void claim_sectors(uint32_t count) { sector_count_ += count; }

  // fill_bytes is the content of a sector initialised with |fill|.
  ByteView fill_bytes(SectorFill fill) const;

  // stage adds |bytes| at file offset |offset| to the next commit; they
  // must stay unchanged until then (or until discard_staged).
  void stage(uint64_t offset, ByteView bytes) { batch_.stage(offset, bytes); }
  // stage_sector adds sector |id|, which |source| produces, to the next
  // commit; fails like check_sector.
  IoResult<void> stage_sector(const WriteBatch::Source& source, uint32_t id) {
    CV_TRY(check_sector(id));
    batch_.stage_from(source, sector_offset(id), sector_len_);
    return {};
  }
  // offer lets the next commit write clean regions of |source| where that
  // saves a call.
  void offer(const WriteBatch::Source& source) { batch_.offer(source); }
  // discard_staged drops what was staged and not committed.
  void discard_staged() { batch_.discard(); }

  const Header& header() const { return header_; }
  // header_mut gives the header for a change that the next commit writes.
  Header& header_mut() {
    header_dirty_ = true;
    return header_;
  }

  // commit writes everything staged since the last commit, with the header
  // block if the header changed. The batch is empty afterwards, also when
  // a write fails; the header stays marked changed then.
  IoResult<void> commit();

  // produce gives the bytes of the header block.
  size_t produce(uint64_t offset, std::span<uint8_t> out) const override;

  File& file() { return batch_.file(); }

 private:
  WriteBatch batch_;
  Header header_;
  bool header_dirty_ = false;
  uint32_t sector_count_;
  size_t sector_len_;
  std::vector<uint8_t> fills_[4];
};

// DiscardUnwritten drops, when it goes out of scope, the writes that an
// operation staged but did not commit because it failed first: they may
// point into memory that the caller frees next.
class DiscardUnwritten {
 public:
  explicit DiscardUnwritten(Sectors& sectors) : sectors_(sectors) {}
  ~DiscardUnwritten() { sectors_.discard_staged(); }
  DiscardUnwritten(const DiscardUnwritten&) = delete;
  DiscardUnwritten& operator=(const DiscardUnwritten&) = delete;

 private:
  Sectors& sectors_;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_SECTOR_H_
