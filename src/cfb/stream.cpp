#include "cfb/stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cfb/core.h"
#include "cfb/flush_buffer.h"

namespace cellvault::cfb {

Stream::Stream(std::shared_ptr<Core> core, uint32_t stream_id)
    : core_(std::move(core)), stream_id_(stream_id), window_(new uint8_t[kWindowLen]()) {
  core_->stream_open = true;
}

Stream::Stream(Stream&& other) noexcept
    : core_(std::move(other.core_)),
      stream_id_(other.stream_id_),
      window_(std::move(other.window_)),
      window_pos_(other.window_pos_),
      window_len_(other.window_len_),
      window_start_(other.window_start_),
      pending_(std::exchange(other.pending_, false)),
      chain_tail_(std::move(other.chain_tail_)) {}

Stream::~Stream() {
  if (!core_) return;
  // Only bytes that no flush has seen yet are flushed here; the caller has
  // had every earlier error returned to it.
  (void)flush_changes();
  end();
}

void Stream::end() {
  core_->stream_open = false;
  core_.reset();
  window_.reset();
  chain_tail_ = {};
}

IoResult<void> Stream::write_all(ByteView data) {
  if (!core_) return Err{IoError::custom(ErrorKind::InvalidInput, "stream is closed")};
  size_t done = 0;
  while (done < data.size()) {
    if (window_pos_ == kWindowLen) {
      // A full window with more bytes to come. Writing window by window
      // would flush this window now and then every following whole window
      // as the next byte arrives, keeping the last 1 to 8192 bytes; those
      // flushes are one commit of the window and the whole windows, taken
      // straight from |data|.
      const size_t left = data.size() - done;
      const size_t whole = (left - 1) / kWindowLen * kWindowLen;
      const ByteView bulk = data.subspan(done, whole);
      const uint64_t next_start = window_start_ + window_pos_ + whole;
      if (pending_) {
        pending_ = false;
        CV_TRY(FlushBuffer::flush_changes(*this, window_start_,
                                          ByteView(window_.get(), window_len_), bulk, next_start));
      } else if (!bulk.empty()) {
        CV_TRY(FlushBuffer::flush_changes(*this, window_start_ + kWindowLen, bulk, {}, next_start));
      }
      window_start_ = next_start;
      chain_tail_.drop_before(window_start_,
                              core_->sectors().sector_len());
      window_pos_ = 0;
      window_len_ = 0;
      done += whole;
    }
    const size_t n = std::min(data.size() - done, kWindowLen - window_pos_);
    std::memcpy(window_.get() + window_pos_, data.data() + done, n);
    pending_ = true;
    window_pos_ += n;
    window_len_ = std::max(window_len_, window_pos_);
    done += n;
  }
  return {};
}

IoResult<void> Stream::flush_changes() {
  if (!core_ || !pending_) return {};
  // Clean again even if the flush fails, so a failure is reported once.
  pending_ = false;
  return FlushBuffer::flush_changes(*this, window_start_, ByteView(window_.get(), window_len_),
                                    {}, window_start_);
}

IoResult<void> Stream::close() {
  if (!core_) return {};
  IoResult<void> result = flush_changes();
  end();
  return result;
}

}  // namespace cellvault::cfb
