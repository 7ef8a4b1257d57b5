// FlushBuffer: commits a stream's buffered bytes to the file and updates
// its directory entry.

#ifndef CELLVAULT_CFB_FLUSH_BUFFER_H_
#define CELLVAULT_CFB_FLUSH_BUFFER_H_

#include <cstdint>

#include "cfb/stream.h"
#include "common/bytes.h"
#include "common/error.h"

namespace cellvault::cfb {

class FlushBuffer {
 public:
  // flush_changes writes |data| followed by |more| at stream offset |at|
  // of |stream|: into the mini stream while the stream stays below 4096
  // bytes, else into its regular chain (moving it out of the mini stream
  // when it crosses the cutoff). Then it sets the entry's start sector,
  // size and modification time and commits everything to the file.
  // Fails with InvalidInput "Cannot seek to ..." when |at| lies past the
  // stream's storage, InvalidInput when a version 3 stream would pass
  // 2147483648 bytes (nothing is written then), UnexpectedEof when the mini
  // stream is short, and the errors of the layers below.
  // |keep_from| is the lowest stream offset that a later flush may write
  // at (the window's start after this flush).
  static IoResult<void> flush_changes(Stream& stream, uint64_t at, ByteView data, ByteView more,
                                      uint64_t keep_from);
};

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_FLUSH_BUFFER_H_
