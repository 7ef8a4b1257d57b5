#include "common/atomic_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/destination.h"
#include "common/text.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace cellvault {
namespace {

// Temporary names are ".<name>.<kSuffixLength random characters>.tmp".
constexpr size_t kSuffixLength = 8;
constexpr std::string_view kTempExtension = ".tmp";
// The longest part of the destination's name kept in a temporary name, so
// that the whole name stays within NAME_MAX bytes.
constexpr size_t kMaxBaseLength =
    NAME_MAX - 1 - 1 - kSuffixLength - kTempExtension.size();
static_assert(kMaxBaseLength == 241);
// Random names collide only by chance or by a hostile guesser; give up
// after this many tries rather than loop for ever.
constexpr int kMaxTempAttempts = 100;

uint64_t mix64(uint64_t x) {
  // The finaliser of splitmix64: spreads every input bit over the output.
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// random_suffix makes the random part of a temporary name. The name need
// not be secret (O_EXCL makes the create safe), only unlikely to collide,
// so without the kernel's random source a mix of time, process and a
// counter will do.
std::string random_suffix() {
  static constexpr char kAlphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  uint8_t raw[kSuffixLength];
  if (::getrandom(raw, sizeof(raw), GRND_NONBLOCK) !=
      static_cast<ssize_t>(sizeof(raw))) {
    static std::atomic<uint64_t> counter{0};
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = mix64(static_cast<uint64_t>(now.tv_nsec) ^
                       (static_cast<uint64_t>(now.tv_sec) << 20) ^
                       (static_cast<uint64_t>(::getpid()) << 40) ^
                       counter.fetch_add(1));
    for (uint8_t& b : raw) {
      b = static_cast<uint8_t>(x);
      x = mix64(x);
    }
  }
  std::string out;
  for (uint8_t b : raw) out += kAlphabet[b % (sizeof(kAlphabet) - 1)];
  return out;
}

// temp_name_for builds a hidden temporary name for |name|, cutting a long
// name short (never inside a UTF-8 sequence).
std::string temp_name_for(const std::string& name) {
  size_t keep = name.size();
  if (keep > kMaxBaseLength) {
    keep = kMaxBaseLength;
    while (keep > 0 && is_utf8_continuation(name[keep])) {
      --keep;
    }
  }
  std::string out = ".";
  out.append(name, 0, keep);
  out += '.';
  out += random_suffix();
  out += kTempExtension;
  return out;
}

// create_temp creates a new, empty, hidden file named after |base| in the
// directory |dir_fd| with permission bits |mode| (less the umask), storing
// its name in |out_name|.
IoResult<File> create_temp(int dir_fd, const std::string& base, unsigned mode,
                           std::string& out_name) {
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    std::string name = temp_name_for(base);
    IoResult<File> r =
        File::open_at(dir_fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (r.ok()) {
      out_name = std::move(name);
      return r;
    }
    if (r.error().os_error() != EEXIST) return r;
  }
  return Err{IoError::from_os(EEXIST)};
}

// keep_owner_and_mode gives the temporary file |fd| the owner, group and
// permission bits of the file it replaces. The owner and group are set
// only where the process may do so. The set-user-ID and set-group-ID bits
// are not carried over: writing new contents into a file clears them too,
// and a freshly written workbook must never become privileged.
IoResult<void> keep_owner_and_mode(int fd, const struct stat& old) {
  (void)::fchown(fd, old.st_uid, old.st_gid);
  if (::fchmod(fd, old.st_mode & 01777) != 0) {
    // File systems without Unix permissions refuse the change; there the
    // bits have no meaning to keep.
    if (errno == EPERM || errno == EOPNOTSUPP) return {};
    return Err{IoError::from_errno()};
  }
  return {};
}

// tmpfile_unsupported tells whether an O_TMPFILE open failed only because
// the kernel (EISDIR) or the file system (EOPNOTSUPP) cannot make unnamed
// files; any other error would hit a named file just as well.
bool tmpfile_unsupported(const IoError& error) {
  const int e = error.os_error();
  return e == EOPNOTSUPP || e == EISDIR || e == EINVAL;
}

// anonymous_file creates a file without a name in which an output that is
// written in place is built: the container is written with random access,
// and only its finished bytes go to the destination, in order. It lives in
// $TMPDIR (or /tmp); where unnamed files cannot be made there, a named one
// is created and removed at once.
IoResult<File> anonymous_file() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  IoResult<File> r = File::open_at(AT_FDCWD, dir, O_TMPFILE | O_RDWR | O_EXCL, 0600);
  if (r.ok() || !tmpfile_unsupported(r.error())) return r;
  CV_TRY_ASSIGN(File d, File::open_at(AT_FDCWD, dir, O_PATH | O_DIRECTORY));
  std::string name;
  CV_TRY_ASSIGN(File f, create_temp(d.fd(), "cellvault", 0600, name));
  if (::unlinkat(d.fd(), name.c_str(), 0) != 0) return Err{IoError::from_errno()};
  return f;
}

// open_in_place opens a destination that is written in place: one of this
// process's own descriptors is duplicated, so that the bytes go where the
// descriptor stands and an append-mode descriptor appends; anything else
// is opened for writing by the kernel, which follows its own links. A
// FIFO opened so waits for a reader, as any writer of a FIFO does; with an
// active |cancel| that wait is a loop of non-blocking opens (ENXIO while no
// reader is there) that asks the hook every kCancelPollMs, so that a
// caller who gives up is not stuck in open for ever.
IoResult<File> open_in_place(const Destination& dest, const CancelHook& cancel) {
  if (dest.own_fd >= 0) {
    const int fd = ::fcntl(dest.own_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return Err{IoError::from_errno()};
    return File(fd);
  }
  if (!cancel.active() || !dest.exists || !S_ISFIFO(dest.st.st_mode)) {
    return File::open_at(dest.dir.fd(), dest.name, O_WRONLY | O_NOCTTY);
  }
  constexpr int kRetryMs = 10;
  for (int waited = 0;; waited += kRetryMs) {
    IoResult<File> r = File::open_at(dest.dir.fd(), dest.name, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (r.ok()) {
      // Written as any descriptor is: blocking while the pipe is full.
      const int flags = ::fcntl(r->fd(), F_GETFL);
      if (flags < 0 || ::fcntl(r->fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Err{IoError::from_errno()};
      }
      return r;
    }
    if (r.error().os_error() != ENXIO) return r;
    if (waited >= kCancelPollMs) {
      waited = 0;
      if (cancel.requested()) {
        return Err{IoError::custom(ErrorKind::Interrupted, std::string(kCancelledOutputMessage))};
      }
    }
    ::usleep(kRetryMs * 1000);
  }
}

// write_out writes |data| to |fd| at its position, waiting whenever a
// non-blocking descriptor (a pipe that a shell handed over so) is full.
IoResult<void> write_out(int fd, ByteView data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data = data.subspan(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      return Err{IoError::custom(ErrorKind::WriteZero, std::string(kWriteZeroMessage))};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Err{IoError::from_errno()};
    struct pollfd p = {fd, POLLOUT, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return Err{IoError::from_errno()};
  }
  return {};
}

// copy_out writes the whole of |from|, from its start, to |to| in order.
// A regular file that is not in append mode is then cut where the bytes
// end, so that it holds nothing of its old contents past them, and flushed.
IoResult<void> copy_out(File& from, File& to) {
  std::vector<uint8_t> buffer(size_t{1} << 20);
  for (uint64_t offset = 0;;) {
    CV_TRY_ASSIGN(const size_t n, from.read_at(buffer, offset));
    if (n == 0) break;
    CV_TRY(write_out(to.fd(), ByteView(buffer.data(), n)));
    offset += n;
  }
  struct stat st;
  if (::fstat(to.fd(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if ((::fcntl(to.fd(), F_GETFL) & O_APPEND) == 0) {
    const off_t end = ::lseek(to.fd(), 0, SEEK_CUR);
    if (end >= 0 && ::ftruncate(to.fd(), end) != 0) return Err{IoError::from_errno()};
  }
  return to.sync();
}

// proc_fd_path is the kernel's link to this process's descriptor |fd|.
std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// create_unnamed creates the temporary file in the directory |dir_fd|
// without a name, so that a process killed before it publishes leaves
// nothing behind. It is given a name at publishing through
// /proc/self/fd; without that, or without O_TMPFILE, the error is one that
// tmpfile_unsupported accepts and the caller makes a named file instead.
IoResult<File> create_unnamed(int dir_fd, unsigned mode) {
  CV_TRY_ASSIGN(File f, File::open_at(dir_fd, ".", O_TMPFILE | O_RDWR, mode));
  if (::access(proc_fd_path(f.fd()).c_str(), F_OK) != 0) {
    return Err{IoError::from_os(EOPNOTSUPP)};
  }
  return f;
}

}  // namespace

IoError replaced_but_unflushed(std::string_view path, int os_error) {
  std::string message(path);
  message += kReplacedUnflushedMessage;
  message += IoError::from_os(os_error).message();
  return IoError::custom(kind_from_errno(os_error), std::move(message));
}

IoResult<AtomicOutput> AtomicOutput::begin(std::string_view to_path,
                                           bool replace_existing,
                                           const CancelHook& cancel) {
  CV_TRY_ASSIGN(Destination dest,
                writable_destination(to_path, replace_existing));

  AtomicOutput out;
  out.path_ = std::string(to_path);
  out.replace_existing_ = replace_existing;
  if (dest.kernel_link || dest.in_place || (dest.exists && !S_ISREG(dest.st.st_mode))) {
    // A descriptor, device, FIFO or socket cannot be replaced by a file,
    // nor can a file that a rename may not replace: they are written in
    // place, with nothing to undo and nothing to rename.
    CV_TRY_ASSIGN(out.target_, open_in_place(dest, cancel));
    CV_TRY_ASSIGN(out.file_, anonymous_file());
    out.in_place_ = true;
    return out;
  }

  // Never let the temporary file be more open than the file it replaces,
  // not even until the mode is copied: a reader who opened it meanwhile
  // would keep reading.
  const unsigned mode = dest.exists ? dest.st.st_mode & 0777 : 0666;
  IoResult<File> unnamed = create_unnamed(dest.dir.fd(), mode);
  if (unnamed.ok()) {
    out.file_ = std::move(unnamed).take();
    out.unnamed_ = true;
    out.temp_name_ = temp_name_for(dest.name);
  } else if (tmpfile_unsupported(unnamed.error())) {
    CV_TRY_ASSIGN(out.file_, create_temp(dest.dir.fd(), dest.name, mode, out.temp_name_));
    out.pending_ = true;
  } else {
    return Err{std::move(unnamed).error()};
  }
  out.dir_ = std::move(dest.dir);
  out.dir_syncable_ = dest.dir_syncable;
  out.name_ = std::move(dest.name);
  // From here on |out| removes the temporary file if anything fails.
  if (dest.exists) CV_TRY(keep_owner_and_mode(out.file_.fd(), dest.st));
  return out;
}

AtomicOutput::AtomicOutput(AtomicOutput&& other) noexcept
    : path_(std::move(other.path_)),
      dir_(std::move(other.dir_)),
      dir_syncable_(other.dir_syncable_),
      name_(std::move(other.name_)),
      temp_name_(std::move(other.temp_name_)),
      file_(std::move(other.file_)),
      unnamed_(other.unnamed_),
      target_(std::move(other.target_)),
      in_place_(other.in_place_),
      replace_existing_(other.replace_existing_),
      pending_(std::exchange(other.pending_, false)),
      synced_(other.synced_),
      defer_dir_flush_(other.defer_dir_flush_),
      dir_flush_due_(std::exchange(other.dir_flush_due_, false)) {}

AtomicOutput::~AtomicOutput() { discard(); }

void AtomicOutput::discard() {
  if (!pending_) return;
  pending_ = false;
  // Nothing can be done about a failure here; the name is hidden and
  // recognisable as a leftover.
  (void)::unlinkat(dir_.fd(), temp_name_.c_str(), 0);
}

IoResult<void> AtomicOutput::commit() {
  if (in_place()) {
    // Not atomic: a failure here leaves part of the output written.
    IoResult<void> done = copy_out(file_, target_);
    IoResult<void> closed = target_.close();
    (void)file_.close();
    if (!done.ok()) return done;
    return closed;
  }

  IoResult<void> done = synced_ ? IoResult<void>() : file_.sync();
  if (done.ok() && unnamed_) done = give_name();
  if (done.ok()) done = file_.close();
  if (done.ok()) done = replace();
  if (!done.ok() && pending_ && replace_existing_ &&
      (done.error().os_error() == EBUSY || done.error().os_error() == EPERM)) {
    // The rename was refused although the checks at begin passed (a mount
    // or a sticky rule they could not see): write the file in place.
    done = write_over_destination();
    discard();
    return done;
  }
  if (!done.ok()) {
    discard();
    return done;
  }
  if (dir_syncable_ && defer_dir_flush_) {
    dir_flush_due_ = true;
    return {};
  }
  if (dir_syncable_ && ::fsync(dir_.fd()) != 0) {
    // The new bytes are in place, but the rename may not survive a crash:
    // still a failure, but one that says the destination has changed.
    return Err{replaced_but_unflushed(path_, errno)};
  }
  return {};
}

std::vector<IoResult<void>> AtomicOutput::flush_directories(
    std::span<AtomicOutput* const> outputs) {
  std::vector<IoResult<void>> results(outputs.size());
  // Each output holds its own descriptor of its directory; the directory is
  // told by its device and inode, flushed through the first of them, and
  // its answer (0 or the OS error) given to every output in it, each
  // failure naming its own file.
  std::map<std::pair<dev_t, ino_t>, int> flushed;
  for (size_t k = 0; k < outputs.size(); ++k) {
    AtomicOutput* out = outputs[k];
    if (out == nullptr || !out->dir_flush_due_) continue;
    out->dir_flush_due_ = false;
    struct stat st;
    int error = 0;
    if (::fstat(out->dir_.fd(), &st) == 0) {
      const auto key = std::pair(st.st_dev, st.st_ino);
      if (const auto it = flushed.find(key); it != flushed.end()) {
        error = it->second;
      } else {
        error = ::fsync(out->dir_.fd()) == 0 ? 0 : errno;
        flushed.emplace(key, error);
      }
    } else if (::fsync(out->dir_.fd()) != 0) {
      error = errno;
    }
    if (error != 0) results[k] = Err{replaced_but_unflushed(out->path_, error)};
  }
  return results;
}

std::vector<IoResult<void>> AtomicOutput::commit_group(
    std::span<AtomicOutput* const> outputs) {
  std::vector<IoResult<void>> results(outputs.size());
  // The files are flushed side by side, each on a thread of its own (on
  // this one when no thread can be had): the flushes wait for the disk,
  // not for the processor, and waiting together they share its commits.
  std::vector<size_t> temporary;
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (outputs[k] != nullptr && !outputs[k]->in_place()) temporary.push_back(k);
  }
  auto flush = [&](size_t k) { results[k] = outputs[k]->file_.sync(); };
  {
    std::vector<std::jthread> helpers;
    for (size_t t = 1; t < temporary.size(); ++t) {
      try {
        helpers.emplace_back(flush, temporary[t]);
      } catch (const std::system_error&) {
        flush(temporary[t]);
      }
    }
    if (!temporary.empty()) flush(temporary[0]);
  }
  for (size_t k = 0; k < outputs.size(); ++k) {
    AtomicOutput* out = outputs[k];
    if (out == nullptr) continue;
    if (!results[k].ok()) {
      out->discard();
      continue;
    }
    out->synced_ = !out->in_place();
    out->defer_dir_flush_ = true;
    results[k] = out->commit();
  }
  const std::vector<IoResult<void>> flushed = flush_directories(outputs);
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (results[k].ok() && !flushed[k].ok()) results[k] = flushed[k];
  }
  return results;
}

IoResult<void> AtomicOutput::write_over_destination() {
  CV_TRY_ASSIGN(File from, File::open_at(dir_.fd(), temp_name_, O_RDONLY | O_NOFOLLOW));
  CV_TRY_ASSIGN(File to,
                File::open_at(dir_.fd(), name_, O_WRONLY | O_NOFOLLOW | O_NOCTTY));
  CV_TRY(copy_out(from, to));
  return to.close();
}

IoResult<void> AtomicOutput::give_name() {
  const std::string self = proc_fd_path(file_.fd());
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    if (::linkat(AT_FDCWD, self.c_str(), dir_.fd(), temp_name_.c_str(), AT_SYMLINK_FOLLOW) ==
        0) {
      unnamed_ = false;
      pending_ = true;
      return {};
    }
    if (errno != EEXIST) return Err{IoError::from_errno()};
    temp_name_ = temp_name_for(name_);
  }
  return Err{IoError::from_os(EEXIST)};
}

IoResult<void> AtomicOutput::replace() {
  const char* from = temp_name_.c_str();
  const char* to = name_.c_str();
  const int dir = dir_.fd();
  if (replace_existing_) {
    if (::renameat(dir, from, dir, to) != 0) return Err{IoError::from_errno()};
    pending_ = false;
    return {};
  }
  // The destination was absent at begin; if it appeared meanwhile it is
  // someone else's and must survive.
  if (::syscall(SYS_renameat2, dir, from, dir, to, RENAME_NOREPLACE) == 0) {
    pending_ = false;
    return {};
  }
  if (errno == EEXIST) return Err{destination_exists()};
  if (errno != EINVAL && errno != ENOSYS) return Err{IoError::from_errno()};
  // The file system cannot rename without replacing; a hard link gives the
  // same guarantee, since link() never replaces an existing name.
  if (::linkat(dir, from, dir, to, 0) != 0) {
    if (errno == EEXIST) return Err{destination_exists()};
    return Err{IoError::from_errno()};
  }
  // The new name is in place; the temporary one is only a second link to
  // it now, and discard removes it.
  discard();
  return {};
}

}  // namespace cellvault
