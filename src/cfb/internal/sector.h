// Sector I/O: where sector n lies in the file, how a new sector is filled,
// and a bounded writer positioned inside one sector.
//
// Sector n starts at file offset (n + 1) * sector_len; the header takes the
// whole first sector-sized block (512 header bytes, then zeros in version
// 4). The header itself is kept in memory here and written whole whenever a
// commit finds it changed, so a run of field updates costs one write.

#ifndef CELLVAULT_CFB_INTERNAL_SECTOR_H_
#define CELLVAULT_CFB_INTERNAL_SECTOR_H_

#include <cstdint>
#include <vector>

#include "cfb/internal/header.h"
#include "cfb/version.h"
#include "common/bytes.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault::cfb::internal {

// SectorFill says how a sector that is being initialised is filled.
enum class SectorFill {
  kZero,       // sector_len zero bytes
  kFat,        // sector_len / 4 entries FREESECT
  kDifat,      // FREESECT entries, the last one ENDOFCHAIN (the link)
  kDirectory,  // sector_len / 128 unallocated directory entries
};

// SectorWriter writes at most limit - position bytes at a fixed place of
// the file. A write past the limit writes what fits and then fails with
// WriteZero "failed to write whole buffer".
class SectorWriter {
 public:
  // |base| is the file offset of byte 0 of the bounded region.
  SectorWriter(File& file, uint64_t base, size_t limit, size_t position)
      : file_(&file), base_(base), limit_(limit), position_(position) {}

  IoResult<void> write_all(ByteView data);
  size_t position() const { return position_; }

 private:
  File* file_;
  uint64_t base_;
  size_t limit_;
  size_t position_;
};

class Sectors {
 public:
  // Sectors takes ownership of |file|, which already holds |sector_count|
  // sectors after the header described by |header|.
  Sectors(File file, Header header, uint32_t sector_count);

  Version version() const { return header_.version; }
  size_t sector_len() const { return sector_len_; }
  uint32_t sector_count() const { return sector_count_; }
  uint64_t sector_offset(uint32_t id) const {
    return (uint64_t{id} + 1) * sector_len_;
  }

  // check_sector fails with InvalidData "Tried to seek to sector {id}, but
  // sector count is only {count}" when |id| lies beyond the file.
  IoResult<void> check_sector(uint32_t id) const;

  // init_sector makes sector |id| exist (appending it when |id| equals
  // sector_count) and writes |fill| into it. Fails with InvalidData "Tried
  // to initialize sector ..." when |id| would leave a gap; the count stays
  // raised when the write fails.
  IoResult<void> init_sector(uint32_t id, SectorFill fill);

  // claim_sector is init_sector without the write: the caller takes on
  // writing every byte of the sector before it reports success.
  IoResult<void> claim_sector(uint32_t id);
  // claim_sectors appends |count| sectors from sector_count on, unwritten,
  // on the same terms.
  void claim_sectors(uint32_t count) { sector_count_ += count; }

  // seek_within_sector returns a writer for bytes |offset| onward of
  // sector |id| (limit sector_len).
  IoResult<SectorWriter> seek_within_sector(uint32_t id, size_t offset);

  // write_run writes |data| from byte |offset| of sector |first| on,
  // running over the following sectors: they must be consecutive ids that
  // exist. One write call.
  IoResult<void> write_run(uint32_t first, size_t offset, ByteView data);

  // fill_bytes is the content of a sector initialised with |fill|.
  ByteView fill_bytes(SectorFill fill) const;

  const Header& header() const { return header_; }
  // header_mut gives the header for a change that the next commit_header
  // writes.
  Header& header_mut() {
    header_dirty_ = true;
    return header_;
  }
  // commit_header writes the header if it changed since the last commit.
  IoResult<void> commit_header();
  bool header_dirty() const { return header_dirty_; }
  // header_written notes that the caller wrote the current header.
  void header_written() { header_dirty_ = false; }

  File& file() { return file_; }
  File release_file() && { return std::move(file_); }

 private:
  File file_;
  Header header_;
  bool header_dirty_ = false;
  uint32_t sector_count_;
  size_t sector_len_;
  std::vector<uint8_t> fills_[4];
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_SECTOR_H_
