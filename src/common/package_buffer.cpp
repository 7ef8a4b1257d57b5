#include "common/package_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "common/source.h"

namespace cellvault {
namespace {

constexpr size_t kRoom = PackageBuffer::kHeadroom + PackageBuffer::kTailroom;
// A buffer that must grow grows by at least this much, so that a pipe
// delivering a few bytes at a time does not cause a copy per read.
constexpr size_t kMinGrowth = 64 * 1024;

// capacity_for returns the bytes needed for a package of |max_len| bytes
// with its head and tail room; a size that cannot be represented is an
// allocation failure like any other.
size_t capacity_for(size_t max_len) {
  if (max_len > std::numeric_limits<size_t>::max() - kRoom) {
    throw std::bad_alloc();
  }
  return max_len + kRoom;
}

}  // namespace

// The bytes are left uninitialised: reading the file fills them, and
// zero-filling first would touch every page of a large package twice.
PackageBuffer::PackageBuffer(size_t max_len)
    : capacity_(capacity_for(max_len)) {
  data_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_);
}

PackageBuffer::PackageBuffer(PackageBuffer&& other) noexcept
    : data_(std::move(other.data_)),
      capacity_(std::exchange(other.capacity_, 0)),
      len_(std::exchange(other.len_, 0)) {}

PackageBuffer& PackageBuffer::operator=(PackageBuffer&& other) noexcept {
  data_ = std::move(other.data_);
  capacity_ = std::exchange(other.capacity_, 0);
  len_ = std::exchange(other.len_, 0);
  return *this;
}

PackageBuffer PackageBuffer::copy_of(ByteView package) {
  PackageBuffer out(package.size());
  if (!package.empty()) {
    std::memcpy(out.data_.get() + kHeadroom, package.data(), package.size());
  }
  out.len_ = package.size();
  return out;
}

void PackageBuffer::grow(size_t max_len) {
  const size_t capacity = capacity_for(max_len);
  if (capacity <= capacity_) return;
  auto data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  std::memcpy(data.get() + kHeadroom, data_.get() + kHeadroom, len_);
  data_ = std::move(data);
  capacity_ = capacity;
}

IoResult<PackageBuffer> read_package(File& file, const CancelHook& cancel) {
  const bool wait_first = may_wait(file);
  InputWait input(cancel);
  const uint64_t hint = file.remaining_len_hint();
  if (hint > std::numeric_limits<size_t>::max() - kRoom) throw std::bad_alloc();
  // One byte more than the hint, so that the read which sees the end of an
  // unchanged file has room to land and the buffer never grows for it.
  PackageBuffer out(static_cast<size_t>(hint) + 1);
  for (;;) {
    if (out.len_ == out.max_len()) {
      const size_t len = out.len_;
      if (len > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
      out.grow(std::max(2 * len, len + kMinGrowth));
    }
    const std::span<uint8_t> free_room(
        out.data_.get() + PackageBuffer::kHeadroom + out.len_,
        out.max_len() - out.len_);
    if (wait_first) CV_TRY(input.wait(file));
    IoResult<size_t> n = file.read(free_room);
    // A non-blocking source may still have nothing after poll said
    // otherwise (another reader took it): wait again.
    if (!n.ok() && wait_first && n.error().kind() == ErrorKind::WouldBlock) continue;
    if (!n.ok()) return Err{std::move(n).error()};
    if (*n == 0) break;
    out.len_ += *n;
  }
  return out;
}

}  // namespace cellvault
