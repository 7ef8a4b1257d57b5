#include "cfb/internal/chain.h"

#include <algorithm>
#include <string>

namespace cellvault::cfb::internal {

IoError cannot_seek(uint64_t position, uint64_t length) {
  return IoError::custom(ErrorKind::InvalidInput,
                         "Cannot seek to " + std::to_string(position) +
                             ", chain length is " + std::to_string(length) + " bytes");
}

IoResult<Chain> Chain::open(Allocator& alloc, uint32_t start, SectorFill fill) {
  CV_TRY_ASSIGN(std::vector<uint32_t> ids,
                walk_chain(start, [&alloc](uint32_t id) { return alloc.next(id); }, "Chain"));
  return Chain(alloc, std::move(ids), fill);
}

void ChainTail::drop_before(uint64_t offset, size_t sector_len) {
  const uint64_t index = offset / sector_len;
  if (ids.empty() || index <= base) return;
  const auto drop = static_cast<size_t>(std::min<uint64_t>(index - base, ids.size() - 1));
  ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(drop));
  base += drop;
}

Chain Chain::from_tail(Allocator& alloc, ChainTail tail, SectorFill fill, uint64_t keep_from) {
  Chain chain(alloc, std::move(tail.ids), fill);
  chain.first_ = tail.first;
  chain.base_ = tail.base;
  chain.forget_ = true;
  chain.keep_from_ = keep_from;
  return chain;
}

IoResult<void> Chain::seek(uint64_t p) {
  if (p > len()) return Err{cannot_seek(p, len())};
  // A tail chain cannot go back before the sectors it kept.
  if (p / alloc_->sectors().sector_len() < base_) return Err{cannot_seek(p, len())};
  position_ = p;
  return {};
}

IoResult<void> Chain::grow(uint64_t bytes) {
  const size_t sl = alloc_->sectors().sector_len();
  const uint64_t count = (bytes + sl - 1) / sl;
  const bool was_empty = ids_.empty();
  CV_TRY(alloc_->append_chain(was_empty ? ENDOFCHAIN : ids_.back(), count, ids_));
  if (was_empty && !ids_.empty()) first_ = ids_.front();
  return {};
}

// How many new sectors a tail chain adds per batch: it holds the ids of
// one batch at a time, however long the write.
constexpr uint64_t kBatchSectors = 65536;

IoResult<void> Chain::write_parts(std::span<const ByteView> parts) {
  uint64_t total = 0;
  for (ByteView p : parts) total += p.size();
  const size_t sl = alloc_->sectors().sector_len();
  const uint64_t room = len() - position_;
  if (total > room) alloc_->reserve((total - room + sl - 1) / sl);
  size_t part = 0;
  size_t in_part = 0;
  while (total > 0) {
    uint64_t batch = total;
    if (forget_) batch = std::min<uint64_t>(batch, len() - position_ + kBatchSectors * sl);
    CV_TRY(write_batch(parts, part, in_part, batch));
    total -= batch;
    if (forget_) {
      ChainTail tail{first_, base_, std::move(ids_)};
      tail.drop_before(std::min(position_, keep_from_), sl);
      base_ = tail.base;
      ids_ = std::move(tail.ids);
    }
  }
  return {};
}

IoResult<void> Chain::write_batch(std::span<const ByteView> parts, size_t& part,
                                  size_t& in_part, uint64_t total) {
  Sectors& sectors = alloc_->sectors();
  const size_t sl = sectors.sector_len();
  const size_t old_count = ids_.size();
  const uint64_t room = len() - position_;
  if (total > room) CV_TRY(grow(total - room));

  uint64_t left = total;
  while (left > 0) {
    const size_t i = static_cast<size_t>(position_ / sl - base_);
    const size_t offset = static_cast<size_t>(position_ % sl);
    // The run of consecutive ids from i on, as far as the data reaches.
    size_t j = i;
    while (uint64_t{j - i + 1} * sl - offset < left && j + 1 < ids_.size() &&
           ids_[j + 1] == ids_[j] + 1) {
      ++j;
    }
    CV_TRY(sectors.check_sector(ids_[j]));
    uint64_t at = sectors.sector_offset(ids_[i]) + offset;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(uint64_t{j - i + 1} * sl - offset, left));
    for (size_t n = piece; n > 0;) {
      while (in_part == parts[part].size()) {
        ++part;
        in_part = 0;
      }
      const size_t take = std::min(n, parts[part].size() - in_part);
      sectors.stage(at, parts[part].subspan(in_part, take));
      at += take;
      in_part += take;
      n -= take;
    }
    const size_t end_in_last = (offset + piece) % sl;
    if (j >= old_count && end_in_last != 0) {
      // A new sector that the data does not fill: the rest is the fill.
      sectors.stage(at, sectors.fill_bytes(fill_).subspan(end_in_last));
    }
    position_ += piece;
    left -= piece;
  }
  return {};
}

}  // namespace cellvault::cfb::internal
