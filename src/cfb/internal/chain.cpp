#include "cfb/internal/chain.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace cellvault::cfb::internal {

IoError cannot_seek(uint64_t position, uint64_t length) {
  return IoError::custom(ErrorKind::InvalidInput,
                         "Cannot seek to " + std::to_string(position) +
                             ", chain length is " + std::to_string(length) + " bytes");
}

IoResult<Chain> Chain::open(Allocator& alloc, uint32_t start, SectorFill fill) {
  std::vector<uint32_t> ids;
  uint32_t id = start;
  while (id != ENDOFCHAIN) {
    ids.push_back(id);
    id = CV_TRY(alloc.next(id));
    if (id == start) {
      return Err{IoError::custom(ErrorKind::InvalidData,
                                 "Chain contained duplicate sector id " + std::to_string(id))};
    }
  }
  return Chain(alloc, std::move(ids), fill);
}

IoResult<void> Chain::seek(uint64_t p) {
  if (p > len()) return Err{cannot_seek(p, len())};
  position_ = p;
  return {};
}

IoResult<void> Chain::grow(uint64_t bytes) {
  const size_t sl = alloc_->sectors().sector_len();
  const uint64_t count = (bytes + sl - 1) / sl;
  // The same sectors, in the same order and linked the same way, as
  // growing by one sector per write would give.
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t id = CV_TRY(alloc_->allocate_unfilled());
    if (!ids_.empty()) CV_TRY(alloc_->set_fat(ids_.back(), id));
    ids_.push_back(id);
  }
  return {};
}

IoResult<void> Chain::write_all(ByteView data) {
  if (data.empty()) return {};
  Sectors& sectors = alloc_->sectors();
  const size_t sl = sectors.sector_len();
  const size_t old_count = ids_.size();
  const uint64_t room = len() - position_;
  if (data.size() > room) CV_TRY(grow(data.size() - room));

  size_t done = 0;
  while (done < data.size()) {
    const size_t i = static_cast<size_t>(position_ / sl);
    const size_t offset = static_cast<size_t>(position_ % sl);
    const size_t left = data.size() - done;
    // Extend the run over consecutive ids as far as the data reaches.
    size_t j = i;
    while (uint64_t{j - i + 1} * sl - offset < left && j + 1 < ids_.size() &&
           ids_[j + 1] == ids_[j] + 1) {
      ++j;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(uint64_t{j - i + 1} * sl - offset, left));
    const size_t end_in_last = (offset + n) % sl;
    if (j >= old_count && end_in_last != 0) {
      // The run ends inside a new sector: the rest of it gets the fill.
      const size_t head = n - end_in_last;
      if (head > 0) CV_TRY(sectors.write_run(ids_[i], offset, data.subspan(done, head)));
      Bytes last(sectors.fill_bytes(fill_).begin(), sectors.fill_bytes(fill_).end());
      std::memcpy(last.data(), data.data() + done + head, end_in_last);
      CV_TRY(sectors.write_run(ids_[j], 0, last));
    } else {
      CV_TRY(sectors.write_run(ids_[i], offset, data.subspan(done, n)));
    }
    done += n;
    position_ += n;
  }
  return {};
}

IoResult<SectorWriter> Chain::into_subsector(uint32_t index, size_t sub_len, size_t offset) && {
  Sectors& sectors = alloc_->sectors();
  const size_t per = sectors.sector_len() / sub_len;
  const size_t k = index / per;
  if (k >= ids_.size()) {
    return Err{IoError::custom(ErrorKind::InvalidData, "invalid sector id")};
  }
  const uint32_t id = ids_[k];
  CV_TRY(sectors.check_sector(id));
  return SectorWriter(sectors.file(), sectors.sector_offset(id) + sub_len * (index % per),
                      sub_len, offset);
}

}  // namespace cellvault::cfb::internal
