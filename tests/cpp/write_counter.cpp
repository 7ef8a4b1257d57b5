// The definitions below take the place of the C library's pwrite and
// pwritev for everything linked into the binary, count each call, and pass
// it on to the next definition (the C library's, or a sanitizer's).

#include "write_counter.h"

#include <dlfcn.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<uint64_t> g_calls{0};

template <class F>
F next_definition(const char* name) {
  void* symbol = ::dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) std::abort();
  return reinterpret_cast<F>(symbol);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);
  static const Pwrite next = next_definition<Pwrite>("pwrite");
  g_calls.fetch_add(1, std::memory_order_relaxed);
  return next(fd, buf, n, offset);
}

extern "C" ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  using Pwritev = ssize_t (*)(int, const struct iovec*, int, off_t);
  static const Pwritev next = next_definition<Pwritev>("pwritev");
  g_calls.fetch_add(1, std::memory_order_relaxed);
  return next(fd, iov, count, offset);
}

namespace cellvault::write_counter {

uint64_t calls() { return g_calls.load(std::memory_order_relaxed); }

}  // namespace cellvault::write_counter
