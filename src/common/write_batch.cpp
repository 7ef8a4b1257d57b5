#include "common/write_batch.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>

namespace cellvault {
namespace {

IoError unproduced(uint64_t offset) {
  return IoError::custom(ErrorKind::Other, "internal error: no bytes for the piece staged at " +
                                               std::to_string(offset));
}

}  // namespace

// Writer turns pieces in ascending file order into as few calls as it can:
// one run of touching pieces per call, split only where IOV_MAX or the
// scratch buffer runs out.
class WriteBatch::Writer {
 public:
  Writer(File& file, std::span<const Source* const> sources, std::span<uint8_t> scratch)
      : file_(file), sources_(sources), scratch_(scratch) {}

  // add appends |len| bytes at |offset|, taken from |data| or, when it is
  // null, produced by |source|. |offset| is never below the end of the
  // previous piece.
  IoResult<void> add(uint64_t offset, const uint8_t* data, size_t len, const Source* source) {
    if (!iov_.empty() && offset != end_ && !bridge(offset)) CV_TRY(write_out());
    if (iov_.empty()) start_ = end_ = offset;
    if (data != nullptr) return push(data, len);
    for (size_t done = 0; done < len;) {
      // Room first: push must not start a new call for bytes in scratch.
      if (used_ == scratch_.size() || iov_.size() == IOV_MAX) CV_TRY(write_out());
      const size_t room = std::min(scratch_.size() - used_, len - done);
      const size_t n = source->produce(offset + done, scratch_.subspan(used_, room));
      if (n == 0) return Err{unproduced(offset + done)};
      CV_TRY(push(scratch_.data() + used_, n));
      used_ += n;
      done += n;
    }
    return {};
  }

  // finish writes what is still collected.
  IoResult<void> finish() { return write_out(); }

 private:
  IoResult<void> push(const uint8_t* data, size_t n) {
    if (!iov_.empty() && static_cast<const uint8_t*>(iov_.back().iov_base) + iov_.back().iov_len == data) {
      iov_.back().iov_len += n;
    } else {
      if (iov_.size() == IOV_MAX) CV_TRY(write_out());
      // iovec has no const form; pwritev only reads the buffers.
      iov_.push_back({const_cast<uint8_t*>(data), n});
    }
    end_ += n;
    return {};
  }

  // bridge fills the gap from the run's end to |to| with bytes that the
  // sources produce, when the gap is short and they cover all of it.
  bool bridge(uint64_t to) {
    if (to < end_ || to - end_ > kMaxBridgeLen || to - end_ > scratch_.size() - used_ ||
        iov_.size() == IOV_MAX) {
      return false;
    }
    const auto gap = static_cast<size_t>(to - end_);
    size_t got = 0;
    while (got < gap) {
      size_t n = 0;
      for (const Source* s : sources_) {
        n = s->produce(end_ + got, scratch_.subspan(used_ + got, gap - got));
        if (n > 0) break;
      }
      if (n == 0) return false;
      got += n;
    }
    iov_.push_back({scratch_.data() + used_, gap});
    used_ += gap;
    end_ = to;
    return true;
  }

  IoResult<void> write_out() {
    IoResult<void> done;
    if (iov_.size() == 1) {
      done = file_.write_at(ByteView(static_cast<const uint8_t*>(iov_[0].iov_base), iov_[0].iov_len),
                            start_);
    } else if (!iov_.empty()) {
      done = file_.write_vectored_at(iov_, start_);
    }
    iov_.clear();
    used_ = 0;
    start_ = end_;
    return done;
  }

  File& file_;
  std::span<const Source* const> sources_;
  std::span<uint8_t> scratch_;
  size_t used_ = 0;
  uint64_t start_ = 0;
  uint64_t end_ = 0;
  std::vector<struct iovec> iov_;
};

namespace {

constexpr size_t kMaxPiece = UINT32_MAX;

}  // namespace

void WriteBatch::stage(uint64_t offset, ByteView bytes) {
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), kMaxPiece);
    pieces_.push_back({offset, bytes.data(), static_cast<uint32_t>(n), false});
    offset += n;
    bytes = bytes.subspan(n);
  }
}

void WriteBatch::stage_from(const Source& source, uint64_t offset, size_t len) {
  produced_len_ += len;
  while (len > 0) {
    const size_t n = std::min(len, kMaxPiece);
    pieces_.push_back({offset, &source, static_cast<uint32_t>(n), true});
    offset += n;
    len -= n;
  }
}

void WriteBatch::offer(const Source& source) {
  if (std::find(sources_.begin(), sources_.end(), &source) == sources_.end()) {
    sources_.push_back(&source);
  }
}

void WriteBatch::discard() {
  pieces_.clear();
  sources_.clear();
  produced_len_ = 0;
}

IoResult<void> WriteBatch::flush() {
  const std::deque<Piece> pieces = std::move(pieces_);
  const std::vector<const Source*> sources = std::move(sources_);
  const uint64_t produced = produced_len_;
  discard();
  if (pieces.empty()) return {};

  // Enough room for what the sources produce and for a bridge, within the
  // bound; the buffer is kept for the next flush.
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kScratchLen, produced + kMaxBridgeLen));
  if (scratch_.size() < want) scratch_.resize(want);
  Writer writer(*file_, sources, std::span<uint8_t>(scratch_).first(want));
  auto source_of = [](const Piece& p) { return static_cast<const Source*>(p.bytes); };
  auto data_of = [](const Piece& p) { return static_cast<const uint8_t*>(p.bytes); };

  // Staging order breaks ties, so that the later of two pieces wins.
  std::vector<uint32_t> order(pieces.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&pieces](uint32_t a, uint32_t b) {
    return pieces[a].offset < pieces[b].offset;
  });
  // Pieces that overlap are painted into one buffer in staging order.
  std::vector<Bytes> painted;
  for (size_t i = 0; i < order.size();) {
    const Piece& first = pieces[order[i]];
    uint64_t end = first.offset + first.len;
    size_t j = i + 1;
    for (; j < order.size() && pieces[order[j]].offset < end; ++j) {
      end = std::max(end, pieces[order[j]].offset + pieces[order[j]].len);
    }
    if (j == i + 1) {
      CV_TRY(writer.add(first.offset, first.produced ? nullptr : data_of(first), first.len,
                        first.produced ? source_of(first) : nullptr));
      i = j;
      continue;
    }
    std::vector<uint32_t> cluster(order.begin() + static_cast<std::ptrdiff_t>(i),
                                  order.begin() + static_cast<std::ptrdiff_t>(j));
    std::sort(cluster.begin(), cluster.end());
    Bytes& canvas = painted.emplace_back(static_cast<size_t>(end - first.offset));
    for (uint32_t k : cluster) {
      const Piece& p = pieces[k];
      uint8_t* at = canvas.data() + (p.offset - first.offset);
      if (!p.produced) {
        std::memcpy(at, data_of(p), p.len);
        continue;
      }
      for (size_t done = 0; done < p.len;) {
        const size_t n = source_of(p)->produce(p.offset + done, std::span<uint8_t>(at + done, p.len - done));
        if (n == 0) return Err{unproduced(p.offset + done)};
        done += n;
      }
    }
    CV_TRY(writer.add(first.offset, canvas.data(), canvas.size(), nullptr));
    i = j;
  }
  return writer.finish();
}

}  // namespace cellvault
