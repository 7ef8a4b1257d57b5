#include "helper/crypt/random.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "common/abort.h"
#include "common/error.h"

namespace cellvault {
namespace {

// A failing random source ends the call with a message of the same form as
// every other failure of the encryption pipeline, the unwrap of the OS
// error ("called `Result::unwrap()` on an `Err` value: Os { ... }"). It
// carries no I/O cause: the command line reads a cause as a failure of the
// output, and the random values are drawn before the output is touched.
[[noreturn]] void source_failed(const IoError& error,
                                SourceLocation where = SourceLocation::current()) {
  abort_call(std::string(kUnwrapPrefix) + error.render(), where);
}

// getrandom_usable probes once per process, with a zero-length
// non-blocking request, whether the kernel offers getrandom. Only ENOSYS
// (an old kernel) and EPERM (a sandbox that forbids it) mean "missing";
// any other outcome, EAGAIN for a pool not yet initialised included, means
// the call exists.
bool getrandom_usable() {
  static const bool usable = [] {
    const ssize_t rc = ::getrandom(nullptr, 0, GRND_NONBLOCK);
    return !(rc < 0 && (errno == ENOSYS || errno == EPERM));
  }();
  return usable;
}

void fill_with_getrandom(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    // Flags 0: block until the pool is initialised, then never block again.
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      source_failed(IoError::from_os(errno));
    }
    done += static_cast<size_t>(n);
  }
}

int open_retrying(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) source_failed(IoError::from_os(errno));
  return fd;
}

// wait_for_pool returns once /dev/random is readable, which the kernel
// allows only after its pool has been initialised; /dev/urandom would
// otherwise deliver bytes before that.
void wait_for_pool() {
  const int fd = open_retrying("/dev/random");
  struct pollfd p = {fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, -1);
  } while (rc < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  if (rc < 0) source_failed(IoError::from_os(err));
}

std::mutex urandom_mutex;
std::atomic<int> urandom_fd{-1};

// urandom returns the kept-open descriptor of /dev/urandom, opening it on
// first use. The lock makes concurrent first requests open it only once.
int urandom() {
  int fd = urandom_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(urandom_mutex);
  fd = urandom_fd.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  wait_for_pool();
  fd = open_retrying("/dev/urandom");
  urandom_fd.store(fd, std::memory_order_release);
  return fd;
}

void fill_with_urandom(std::span<uint8_t> out) {
  const int fd = urandom();
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      source_failed(IoError::from_os(errno));
    }
    if (n == 0) {
      source_failed(IoError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    }
    done += static_cast<size_t>(n);
  }
}

SecretBytes gen_random(size_t n) {
  SecretBytes out(n);
  fill_random(out);
  return out;
}

}  // namespace

void fill_random(std::span<uint8_t> out) {
  if (getrandom_usable()) {
    fill_with_getrandom(out);
  } else {
    fill_with_urandom(out);
  }
}

SecretBytes gen_random_16() { return gen_random(16); }
SecretBytes gen_random_32() { return gen_random(32); }
SecretBytes gen_random_64() { return gen_random(64); }

}  // namespace cellvault
