// ByteSource: the bytes of the file being read, by offset.
//
// The container reader asks for exact ranges that it has already checked
// against size(), so a short read means the file shrank while it was being
// read. Files are read with pread and never mapped or loaded whole; the
// fuzz targets and unit tests read from memory through the same interface.

#ifndef CELLVAULT_READER_SOURCE_H_
#define CELLVAULT_READER_SOURCE_H_

#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "common/file.h"
#include "reader/error.h"

namespace cellvault::reader {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // size is the file's length when it was opened.
  virtual uint64_t size() const = 0;
  // read_exact fills |out| with the bytes at |offset|. A range beyond
  // size() is a damaged container ("the file ends at ..."); a file that
  // ends early while being read, or a failing read, an I/O error.
  virtual ReadResult<void> read_exact(uint64_t offset, std::span<uint8_t> out) = 0;
};

// FileSource reads a regular file that the caller keeps open.
class FileSource final : public ByteSource {
 public:
  // open takes the size of |file| (fstat) and lends the file to the source.
  // A directory or a file whose size cannot be had is an I/O error.
  static ReadResult<FileSource> open(File& file);

  uint64_t size() const override { return size_; }
  ReadResult<void> read_exact(uint64_t offset, std::span<uint8_t> out) override;

 private:
  FileSource(File& file, uint64_t size) : file_(&file), size_(size) {}

  File* file_;
  uint64_t size_;
};

// MemorySource reads bytes that the caller keeps alive.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteView data) : data_(data) {}

  uint64_t size() const override { return data_.size(); }
  ReadResult<void> read_exact(uint64_t offset, std::span<uint8_t> out) override;

 private:
  ByteView data_;
};

// past_end_error is the damaged-container error for a read of |len| bytes
// at |offset| of a file of |size| bytes.
ReadError past_end_error(uint64_t offset, uint64_t len, uint64_t size);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_SOURCE_H_
