#include "cfb/flush_buffer.h"

#include <algorithm>
#include <string>

#include "cfb/core.h"
#include "cfb/internal/chain.h"
#include "cfb/internal/minichain.h"
#include "cfb/internal/time.h"

namespace cellvault::cfb {

using internal::Chain;
using internal::MiniChain;
using internal::SectorFill;

IoResult<void> FlushBuffer::flush_changes(Stream& stream, uint64_t at, ByteView data,
                                          ByteView more, uint64_t keep_from) {
  // The data is staged as views of |data| and |more|: what an error leaves
  // unwritten must not outlive this call.
  const internal::DiscardUnwritten unwritten(stream.core_->sectors());
  internal::MiniAllocator& mini = stream.core_->mini;
  internal::Directory& dir = mini.directory();
  internal::Allocator& alloc = dir.allocator();
  const uint32_t id = stream.stream_id_;
  const uint64_t old_len = dir.entry(id).stream_size;
  const uint32_t start = dir.entry(id).start_sector;
  const uint64_t end = at + data.size() + more.size();
  const uint64_t new_len = std::max(old_len, end);
  uint32_t new_start = start;
  if (alloc.sectors().version() == Version::V3 && new_len > kMaxStreamLenV3) {
    // A longer stream would make a file that readers reject; refuse it
    // before anything is written.
    return Err{IoError::custom(ErrorKind::InvalidInput,
                               "Stream of " + std::to_string(new_len) +
                                   " bytes is too long for a version 3 file (at most " +
                                   std::to_string(kMaxStreamLenV3) + " bytes)")};
  }

  if (start == ENDOFCHAIN && new_len >= kMiniStreamCutoff) {
    // A new regular chain, written from offset 0.
    Chain chain = Chain::from_tail(alloc, {}, SectorFill::kZero, keep_from);
    const ByteView parts[] = {data, more};
    CV_TRY(chain.write_parts(parts));
    new_start = chain.first_id();
    stream.chain_tail_ = std::move(chain).take_tail();
  } else if (start == ENDOFCHAIN) {
    CV_TRY_ASSIGN(MiniChain chain, MiniChain::open(mini, ENDOFCHAIN));
    CV_TRY(chain.write_all(data));
    CV_TRY(chain.write_all(more));
    new_start = chain.first_id();
  } else if (old_len >= kMiniStreamCutoff) {
    internal::ChainTail tail = std::move(stream.chain_tail_);
    stream.chain_tail_ = {};
    if (tail.empty()) {
      CV_TRY_ASSIGN(Chain opened, Chain::open(alloc, start, SectorFill::kZero));
      tail = std::move(opened).take_tail();
    }
    Chain chain = Chain::from_tail(alloc, std::move(tail), SectorFill::kZero, keep_from);
    CV_TRY(chain.seek(at));
    const ByteView parts[] = {data, more};
    CV_TRY(chain.write_parts(parts));
    stream.chain_tail_ = std::move(chain).take_tail();
  } else if (end >= kMiniStreamCutoff) {
    // The stream outgrows the mini stream: move its first |at| bytes into
    // a regular chain ahead of the new data.
    CV_TRY_ASSIGN(MiniChain old_chain, MiniChain::open(mini, start));
    Bytes head(static_cast<size_t>(at));
    CV_TRY(old_chain.read_exact(head));
    CV_TRY(mini.free_mini_chain(start));
    Chain chain = Chain::from_tail(alloc, {}, SectorFill::kZero, keep_from);
    const ByteView parts[] = {head, data, more};
    CV_TRY(chain.write_parts(parts));
    new_start = chain.first_id();
    stream.chain_tail_ = std::move(chain).take_tail();
  } else {
    CV_TRY_ASSIGN(MiniChain chain, MiniChain::open(mini, start));
    CV_TRY(chain.seek(at));
    CV_TRY(chain.write_all(data));
    CV_TRY(chain.write_all(more));
  }

  internal::DirEntry& entry = dir.entry_mut(id);
  entry.start_sector = new_start;
  entry.stream_size = new_len;
  entry.modified_time = internal::current_timestamp();
  // The entry goes out with the data and the tables in the commit.
  dir.mark_dirty(id);
  return mini.commit();
}

}  // namespace cellvault::cfb
