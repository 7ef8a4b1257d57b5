// WriteBatch: positioned writes collected and then written together.
//
// The layers above stage pieces (an offset and its bytes) in any order and
// never ask which pieces lie next to each other: flush sorts them by
// offset, and pieces that touch go out in one pwritev. A short gap between
// two runs is bridged, saving a call, when a source that the batch was
// offered can supply the gap's current bytes. A piece staged later wins
// where it overlaps an earlier one, as separate writes would have it.
//
// Memory stays bounded however long the batch: staged bytes are views, and
// pieces that a source produces are encoded only when their turn comes,
// into a buffer of at most kScratchLen bytes.

#ifndef CELLVAULT_COMMON_WRITE_BATCH_H_
#define CELLVAULT_COMMON_WRITE_BATCH_H_

#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault {

class WriteBatch {
 public:
  // Source is a region of the file whose current bytes its owner can
  // produce from memory at any time (a table it keeps, for example).
  class Source {
   public:
    // produce writes the bytes that belong at |offset| onward into |out|,
    // as far as the source's region reaches (at most out.size()), and
    // returns their count: 0 when |offset| lies outside its region.
    virtual size_t produce(uint64_t offset, std::span<uint8_t> out) const = 0;

   protected:
    ~Source() = default;
  };

  // The largest buffer that flush fills with produced bytes at once.
  static constexpr size_t kScratchLen = 256 * 1024;
  // The widest gap that flush tries to bridge.
  static constexpr uint64_t kMaxBridgeLen = 8192;

  // The batch writes to |file|, which it borrows.
  explicit WriteBatch(File& file) : file_(&file) {}

  File& file() const { return *file_; }
  bool empty() const { return pieces_.empty(); }

  // stage adds |bytes| at |offset|. The bytes are not copied: they must
  // stay unchanged until the next flush or discard.
  void stage(uint64_t offset, ByteView bytes);
  // stage_from adds |len| bytes at |offset| that |source| produces when
  // they are written. The source must outlive the next flush or discard.
  void stage_from(const Source& source, uint64_t offset, size_t len);
  // offer lets the next flush bridge gaps with the bytes of |source|.
  void offer(const Source& source);

  // flush writes every staged piece and empties the batch, also when a
  // write fails; returns the first error. A piece that its source cannot
  // produce is the error Other "internal error: ...".
  IoResult<void> flush();
  // discard empties the batch without writing.
  void discard();

 private:
  // A piece of at most 4 GiB: longer views are staged as several.
  struct Piece {
    uint64_t offset;
    const void* bytes;  // the view's bytes, or the Source that produces them
    uint32_t len;
    bool produced;
  };
  class Writer;

  File* file_;
  // A deque grows without copying: a long write stages many pieces.
  std::deque<Piece> pieces_;
  std::vector<const Source*> sources_;
  uint64_t produced_len_ = 0;  // bytes of the pieces that sources produce
  Bytes scratch_;
};

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_WRITE_BATCH_H_
