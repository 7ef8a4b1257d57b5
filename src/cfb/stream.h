// Stream: one stream of a CompoundFile being written. Bytes collect in an
// 8192-byte window and are committed to the file by flushes; a stream whose
// size stays below 4096 bytes lives in the mini stream, a larger one in its
// own chain of sectors.

#ifndef CELLVAULT_CFB_STREAM_H_
#define CELLVAULT_CFB_STREAM_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "cfb/internal/chain.h"
#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::cfb {

struct Core;
class FlushBuffer;

// The size of a stream's write window.
inline constexpr size_t kWindowLen = 8192;

class Stream {
 public:
  Stream(Stream&& other) noexcept;
  Stream& operator=(Stream&&) = delete;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // ~Stream flushes what is still pending and discards that flush's error;
  // callers that need the error call close() first.
  ~Stream();

  // write_all appends |data| to the stream. It may commit earlier bytes
  // and returns the error of that commit. |data| is not kept: a long write
  // commits whole windows straight from it.
  IoResult<void> write_all(ByteView data);

  // flush_changes commits the bytes written so far and the stream's size
  // to the file; returns the error of the commit. A failed commit is not
  // repeated unless more bytes are written.
  IoResult<void> flush_changes();

  // close flushes and ends the stream, returning the flush's error. The
  // stream cannot be written afterwards.
  IoResult<void> close();

  uint32_t stream_id() const { return stream_id_; }

 private:
  friend class CompoundFile;
  friend class FlushBuffer;
  Stream(std::shared_ptr<Core> core, uint32_t stream_id);
  void end();

  std::shared_ptr<Core> core_;
  uint32_t stream_id_;
  std::unique_ptr<uint8_t[]> window_;
  size_t window_pos_ = 0;
  size_t window_len_ = 0;
  uint64_t window_start_ = 0;
  bool pending_ = false;
  // What the stream keeps of its regular chain between flushes, so that
  // appending does not walk the chain again; empty when unknown.
  internal::ChainTail chain_tail_;
};

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_STREAM_H_
