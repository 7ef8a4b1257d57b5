// Buffers for secrets that are wiped when they are released.
//
// Keys, salts, intermediate hashes and the encoded password live in
// SecretBytes. Its allocator overwrites every block with OPENSSL_cleanse
// before handing it back, so the secret does not survive in freed memory:
// neither when the buffer is destroyed nor when it grows and moves.

#ifndef CELLVAULT_COMMON_SECURE_H_
#define CELLVAULT_COMMON_SECURE_H_

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cellvault {

template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }

  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// An owned byte buffer whose contents are wiped when released.
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// ScopedWipe wipes a fixed region (a stack array, a hash context) when it
// goes out of scope, on every way out of the function.
class ScopedWipe {
 public:
  ScopedWipe(void* p, std::size_t n) : p_(p), n_(n) {}
  ~ScopedWipe() { OPENSSL_cleanse(p_, n_); }
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_SECURE_H_
