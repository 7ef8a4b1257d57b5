// The definitions below take the place of the C library's pwrite, pwritev
// and fsync for everything linked into the binary, count each call, and pass
// it on to the next definition (the C library's, or a sanitizer's).

#include "write_counter.h"

#include <dlfcn.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_fsync_calls{0};

// The descriptors whose fsync fails, -1 for a free slot, and the error.
constexpr size_t kMaxFailing = 8;
std::atomic<int> g_failing[kMaxFailing] = {-1, -1, -1, -1, -1, -1, -1, -1};
std::atomic<int> g_fsync_error{0};

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

extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const Fsync next = next_definition<Fsync>("fsync");
  g_fsync_calls.fetch_add(1, std::memory_order_relaxed);
  for (const std::atomic<int>& failing : g_failing) {
    if (failing.load() == fd && fd >= 0) {
      errno = g_fsync_error.load();
      return -1;
    }
  }
  return next(fd);
}

namespace cellvault::write_counter {

uint64_t calls() { return g_calls.load(std::memory_order_relaxed); }

uint64_t fsync_calls() { return g_fsync_calls.load(std::memory_order_relaxed); }

void fail_fsync_of(std::initializer_list<int> fds, int error) {
  if (fds.size() > kMaxFailing) std::abort();
  g_fsync_error.store(error);
  size_t k = 0;
  for (const int fd : fds) g_failing[k++].store(fd);
  for (; k < kMaxFailing; ++k) g_failing[k].store(-1);
}

}  // namespace cellvault::write_counter
