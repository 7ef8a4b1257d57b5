// PackageBuffer: the plain package, laid out so that it can be encrypted
// where it lies.
//
// The "EncryptedPackage" stream is the package's length as LE64 followed by
// the package encrypted in 16-byte blocks, the last one zero-padded. Each
// encrypted byte lands where its plain byte was, so a buffer that keeps 8
// free bytes before the package and 15 after it can become the stream
// without a second buffer of the package's size.
//
//   storage():  [ headroom: 8 ][ package: len bytes ][ tail room: >= 15 ]
//
// The headroom and tail room are not initialised; whoever turns the buffer
// into the stream writes them.

#ifndef CELLVAULT_COMMON_PACKAGE_BUFFER_H_
#define CELLVAULT_COMMON_PACKAGE_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "common/bytes.h"
#include "common/cancel.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault {

class PackageBuffer {
 public:
  // Room for the stream's size field before the package.
  static constexpr size_t kHeadroom = 8;
  // Room for the zero padding of the last 16-byte block after the package.
  static constexpr size_t kTailroom = 16 - 1;

  // An empty package (still with its head and tail room).
  PackageBuffer() : PackageBuffer(0) {}
  // A moved-from buffer is empty and has no storage at all.
  PackageBuffer(PackageBuffer&& other) noexcept;
  PackageBuffer& operator=(PackageBuffer&& other) noexcept;
  PackageBuffer(const PackageBuffer&) = delete;
  PackageBuffer& operator=(const PackageBuffer&) = delete;

  // copy_of returns a buffer holding a copy of |package|.
  static PackageBuffer copy_of(ByteView package);

  // package returns the package bytes: plain ones until the buffer is
  // encrypted in place, then the ciphertext that took their place.
  std::span<uint8_t> package() {
    return data_ ? std::span<uint8_t>(data_.get() + kHeadroom, len_)
                 : std::span<uint8_t>();
  }
  ByteView package() const {
    return data_ ? ByteView(data_.get() + kHeadroom, len_) : ByteView();
  }
  size_t package_len() const { return len_; }

  // storage returns the whole buffer: the headroom, the package and at
  // least kTailroom bytes after it.
  std::span<uint8_t> storage() { return {data_.get(), capacity_}; }
  ByteView storage() const { return {data_.get(), capacity_}; }

 private:
  friend IoResult<PackageBuffer> read_package(File& file, const CancelHook& cancel);

  // Allocates room for a package of up to |max_len| bytes, uninitialised,
  // with a package length of 0.
  explicit PackageBuffer(size_t max_len);
  // The most package bytes that fit while keeping the tail room.
  size_t max_len() const { return capacity_ - kHeadroom - kTailroom; }
  // grow makes room for at least |max_len| package bytes, keeping them.
  void grow(size_t max_len);

  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t len_ = 0;
};

// read_package reads |file| from its current position to its end into a new
// PackageBuffer. The buffer is sized from the file's size, and the loop
// reads until the OS reports the end, growing the buffer if the file grows
// meanwhile (or has no size, like a pipe). A file that is not a regular one
// is read only when it has input (see InputWait), so that |cancel| can stop
// a wait that has no end: the result is then the error Interrupted
// kCancelledMessage. Returns the OS error of a failed read (IsADirectory for
// a directory, for instance). Throws std::bad_alloc when the memory cannot
// be had.
IoResult<PackageBuffer> read_package(File& file, const CancelHook& cancel = {});

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_PACKAGE_BUFFER_H_
