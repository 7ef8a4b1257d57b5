// A library for LD_PRELOAD that makes chosen system calls fail, so that the
// Python tests can drive the module and the command line into failures
// that a healthy machine never shows. CELLVAULT_FAULTS lists the faults,
// separated by commas:
//   fsync-dir=ERRNO     fsync of a directory fails with ERRNO (a number)
//   tmpfile=ERRNO       an open with O_TMPFILE fails with ERRNO
//   rename=ERRNO        renameat and rename fail with ERRNO
//   stall-write=PATH    the first write into a regular file creates PATH
//                       and then waits for ever (for a test to kill it)
// Every other call passes on to the C library unchanged.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Faults {
  int fsync_dir = 0;
  int tmpfile = 0;
  int rename = 0;
  std::string stall_write;
};

const Faults& faults() {
  static const Faults parsed = [] {
    Faults f;
    const char* env = std::getenv("CELLVAULT_FAULTS");
    std::string wanted = env != nullptr ? env : "";
    size_t start = 0;
    while (start < wanted.size()) {
      size_t end = wanted.find(',', start);
      if (end == std::string::npos) end = wanted.size();
      const std::string item = wanted.substr(start, end - start);
      const size_t eq = item.find('=');
      const std::string key = item.substr(0, eq);
      const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
      if (key == "fsync-dir") f.fsync_dir = std::atoi(value.c_str());
      if (key == "tmpfile") f.tmpfile = std::atoi(value.c_str());
      if (key == "rename") f.rename = std::atoi(value.c_str());
      if (key == "stall-write") f.stall_write = value;
      start = end + 1;
    }
    return f;
  }();
  return parsed;
}

template <class F>
F next_definition(const char* name) {
  void* symbol = ::dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) std::abort();
  return reinterpret_cast<F>(symbol);
}

int fail_with(int error) {
  errno = error;
  return -1;
}

bool is_kind(int fd, mode_t kind) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// maybe_stall stops the process for good at its first write into a regular
// file, once it has told the test so by creating the marker file.
void maybe_stall(int fd) {
  static std::atomic<bool> stalled{false};
  const std::string& marker = faults().stall_write;
  if (marker.empty() || !is_kind(fd, S_IFREG) || stalled.exchange(true)) return;
  using Open = int (*)(const char*, int, ...);
  static const Open real_open = next_definition<Open>("open");
  const int m = real_open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (m >= 0) ::close(m);
  for (;;) ::pause();
}

int open_mode(int flags, va_list args) {
  // O_TMPFILE includes O_DIRECTORY, so test the whole mask.
  const bool wants_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return wants_mode ? va_arg(args, int) : 0;
}

}  // namespace

extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const Fsync next = next_definition<Fsync>("fsync");
  if (faults().fsync_dir != 0 && is_kind(fd, S_IFDIR)) return fail_with(faults().fsync_dir);
  return next(fd);
}

#define CELLVAULT_OPENAT(name)                                                  \
  extern "C" int name(int dir, const char* path, int flags, ...) {              \
    using Openat = int (*)(int, const char*, int, ...);                         \
    static const Openat next = next_definition<Openat>(#name);                  \
    va_list args;                                                               \
    va_start(args, flags);                                                      \
    const int mode = open_mode(flags, args);                                    \
    va_end(args);                                                               \
    if (faults().tmpfile != 0 && (flags & O_TMPFILE) == O_TMPFILE) {            \
      return fail_with(faults().tmpfile);                                       \
    }                                                                           \
    return next(dir, path, flags, mode);                                        \
  }
CELLVAULT_OPENAT(openat)
CELLVAULT_OPENAT(openat64)
#undef CELLVAULT_OPENAT

extern "C" int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  using Renameat = int (*)(int, const char*, int, const char*);
  static const Renameat next = next_definition<Renameat>("renameat");
  if (faults().rename != 0) return fail_with(faults().rename);
  return next(from_dir, from, to_dir, to);
}

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);
  static const Pwrite next = next_definition<Pwrite>("pwrite");
  maybe_stall(fd);
  return next(fd, buf, n, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
  return pwrite(fd, buf, n, offset);
}

extern "C" ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  using Pwritev = ssize_t (*)(int, const struct iovec*, int, off_t);
  static const Pwritev next = next_definition<Pwritev>("pwritev");
  maybe_stall(fd);
  return next(fd, iov, count, offset);
}

extern "C" ssize_t pwritev64(int fd, const struct iovec* iov, int count, off_t offset) {
  return pwritev(fd, iov, count, offset);
}
