// File: an owned file descriptor with the few operations cellvault needs.
//
// Every loop here retries EINTR and partial transfers, and a write that
// makes no progress is the error WriteZero "failed to write whole buffer".
// The descriptor is closed when the File is destroyed; close() closes it
// explicitly and reports the error that a destructor would have to drop.

#ifndef CELLVAULT_COMMON_FILE_H_
#define CELLVAULT_COMMON_FILE_H_

#include <sys/uio.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace cellvault {

class File {
 public:
  File() = default;
  // Takes ownership of |fd|.
  explicit File(int fd) : fd_(fd) {}
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // open_read opens |path| read-only.
  static IoResult<File> open_read(std::string_view path);
  // create opens |path| for reading and writing, creating it with mode 0666
  // less the umask when missing and truncating it when present.
  static IoResult<File> create(std::string_view path);
  // open_at opens |path| relative to the directory |dir_fd| (or AT_FDCWD)
  // with open(2) |flags| plus O_CLOEXEC, and |mode| for a file it creates.
  // It retries EINTR and returns the OS error unchanged; a NUL byte in
  // |path| is InvalidInput.
  static IoResult<File> open_at(int dir_fd, std::string_view path, int flags,
                                unsigned mode = 0666);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // read_to_end reads from the current position to the end of the file.
  IoResult<Bytes> read_to_end();
  // read reads up to out.size() bytes at the current position with one
  // read(2), retrying EINTR, and returns the count: 0 at the end of the
  // file, possibly fewer than asked for anywhere.
  IoResult<size_t> read(std::span<uint8_t> out);
  // remaining_len_hint returns how many bytes lie between the current
  // position and the end of a regular file, or 0 when that is unknown
  // (pipes, devices, a failing fstat). It is only a hint for sizing a
  // buffer: the file may change before it is read.
  uint64_t remaining_len_hint() const;
  // write_at writes all of |data| at byte |offset|, leaving the file
  // position alone.
  IoResult<void> write_at(ByteView data, uint64_t offset);
  // write_vectored_at writes the buffers of |pieces| one after the other
  // from byte |offset| on (pwritev; at most IOV_MAX pieces per call),
  // leaving the file position alone.
  IoResult<void> write_vectored_at(std::span<const struct iovec> pieces, uint64_t offset);
  // read_at reads up to out.size() bytes at byte |offset| with one read
  // (retrying EINTR) and returns the count, 0 at the end of the file.
  IoResult<size_t> read_at(std::span<uint8_t> out, uint64_t offset);
  // sync flushes the file's data and metadata to the device.
  IoResult<void> sync();
  // close closes the descriptor and reports a failure of close(2).
  IoResult<void> close();

 private:
  int fd_ = -1;
};

// path_to_c checks that |path| holds no NUL byte (the OS would cut it
// there) and returns it as a NUL-terminated string.
IoResult<std::string> path_to_c(std::string_view path);

// The message of a write that made no progress.
inline constexpr std::string_view kWriteZeroMessage =
    "failed to write whole buffer";

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_FILE_H_
