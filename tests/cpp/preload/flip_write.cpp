// flip_write.so: a storage fault for the command line's tests, loaded with
// LD_PRELOAD. The byte at file offset CELLVAULT_FLIP_AT of every write
// through pwrite or pwritev to a file whose name begins with '.' (the
// hidden temporary files of atomic outputs) reaches the file with its low
// bit flipped, as if the disk or the page cache had corrupted it; the
// caller is told the write succeeded. Without the variable it changes
// nothing.

#include <dlfcn.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <class F>
F next_definition(const char* name) {
  void* symbol = ::dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) std::abort();
  return reinterpret_cast<F>(symbol);
}

using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);
using Pwritev = ssize_t (*)(int, const struct iovec*, int, off_t);

// The offset to flip, or -1.
off_t flip_at() {
  static const off_t at = [] {
    const char* text = std::getenv("CELLVAULT_FLIP_AT");
    return text == nullptr ? off_t{-1} : static_cast<off_t>(std::strtoll(text, nullptr, 10));
  }();
  return at;
}

bool hidden_file(int fd) {
  char link[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(proc.c_str(), link, sizeof(link) - 1);
  if (n <= 0) return false;
  const std::string path(link, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash != std::string::npos && slash + 1 < path.size() && path[slash + 1] == '.';
}

bool hits(int fd, size_t n, off_t offset) {
  const off_t at = flip_at();
  return at >= offset && at < offset + static_cast<off_t>(n) && hidden_file(fd);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static const Pwrite next = next_definition<Pwrite>("pwrite");
  if (!hits(fd, n, offset)) return next(fd, buf, n, offset);
  std::vector<unsigned char> copy(static_cast<const unsigned char*>(buf),
                                  static_cast<const unsigned char*>(buf) + n);
  copy[static_cast<size_t>(flip_at() - offset)] ^= 1;
  return next(fd, copy.data(), n, offset);
}

extern "C" ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  static const Pwritev next = next_definition<Pwritev>("pwritev");
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  if (!hits(fd, n, offset)) return next(fd, iov, count, offset);
  std::vector<unsigned char> copy;
  copy.reserve(n);
  for (int i = 0; i < count; ++i) {
    const auto* p = static_cast<const unsigned char*>(iov[i].iov_base);
    copy.insert(copy.end(), p, p + iov[i].iov_len);
  }
  copy[static_cast<size_t>(flip_at() - offset)] ^= 1;
  static const Pwrite write_one = next_definition<Pwrite>("pwrite");
  return write_one(fd, copy.data(), n, offset);
}
