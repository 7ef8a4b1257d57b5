#include "cfb/internal/minichain.h"

#include <algorithm>
#include <string>

#include "cfb/internal/chain.h"

namespace cellvault::cfb::internal {

IoResult<MiniChain> MiniChain::open(MiniAllocator& minialloc, uint32_t start) {
  CV_TRY_ASSIGN(std::vector<uint32_t> ids,
                walk_chain(start, [&minialloc](uint32_t id) { return minialloc.next_mini_sector(id); },
                           "Minichain"));
  return MiniChain(minialloc, std::move(ids));
}

IoResult<void> MiniChain::seek(uint64_t t) {
  if (t > len()) return Err{cannot_seek(t, len())};
  position_ = t;
  return {};
}

IoResult<size_t> MiniChain::read(std::span<uint8_t> out) {
  const uint64_t n = std::min<uint64_t>(len() - position_, out.size());
  if (n == 0) return size_t{0};
  const uint32_t id = ids_[position_ / kMiniSectorLen];
  const size_t offset = position_ % kMiniSectorLen;
  const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, kMiniSectorLen - offset));
  CV_TRY_ASSIGN(const uint64_t at, minialloc_->mini_sector_offset(id));
  File& file = minialloc_->directory().allocator().sectors().file();
  CV_TRY_ASSIGN(const size_t got, file.read_at(out.first(piece), at + offset));
  position_ += got;
  return got;
}

IoResult<void> MiniChain::read_exact(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    CV_TRY_ASSIGN(const size_t n, read(out.subspan(done)));
    if (n == 0) {
      return Err{IoError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer")};
    }
    done += n;
  }
  return {};
}

IoResult<void> MiniChain::write_all(ByteView data) {
  if (data.empty()) return {};
  const uint64_t room = len() - position_;
  if (data.size() > room) {
    const uint64_t count = (data.size() - room + kMiniSectorLen - 1) / kMiniSectorLen;
    for (uint64_t i = 0; i < count; ++i) {
      // Marked ENDOFCHAIN before it is linked, as growing one mini sector
      // per write would do.
      CV_TRY_ASSIGN(const uint32_t id, minialloc_->allocate_mini_sector(ENDOFCHAIN));
      if (!ids_.empty()) CV_TRY(minialloc_->set_minifat(ids_.back(), id));
      ids_.push_back(id);
    }
  }
  Sectors& sectors = minialloc_->directory().allocator().sectors();
  for (size_t done = 0; done < data.size();) {
    const uint32_t id = ids_[position_ / kMiniSectorLen];
    const size_t offset = position_ % kMiniSectorLen;
    const size_t n = std::min(data.size() - done, kMiniSectorLen - offset);
    CV_TRY_ASSIGN(const uint64_t at, minialloc_->mini_sector_offset(id));
    sectors.stage(at + offset, data.subspan(done, n));
    done += n;
    position_ += n;
  }
  return {};
}

}  // namespace cellvault::cfb::internal
