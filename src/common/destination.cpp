#include "common/destination.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <span>
#include <utility>

namespace cellvault {
namespace {

// The kernel gives up after 40 links in one lookup (ELOOP); so do we.
constexpr int kMaxLinkHops = 40;

struct SplitPath {
  std::string dir;
  std::string name;  // empty when the path ends in '/'
};

SplitPath split_path(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  if (slash == 0) return {"/", std::string(path.substr(1))};
  return {std::string(path.substr(0, slash)),
          std::string(path.substr(slash + 1))};
}

// direct_open_error gives the error of creating |path| directly. It is only
// called for paths that end in '/' (or are empty): Linux never creates or
// truncates anything for those (a missing name is EISDIR, a file ENOTDIR,
// and a directory cannot be opened for writing), so trying it is harmless
// and yields exactly the error a plain create would.
IoError direct_open_error(int base_fd, const std::string& path) {
  IoResult<File> r = File::open_at(base_fd, path, O_RDWR | O_CREAT | O_TRUNC);
  if (!r.ok()) return std::move(r).error();
  return IoError::from_os(EISDIR);
}

// open_dir opens directory |dir| (relative to |base_fd|) into |out|.
IoResult<void> open_dir(int base_fd, const std::string& dir, Destination& out) {
  IoResult<File> r = File::open_at(base_fd, dir, O_RDONLY | O_DIRECTORY);
  if (r.ok()) {
    out.dir = std::move(r).take();
    out.dir_syncable = true;
    return {};
  }
  if (r.error().os_error() != EACCES) return Err{std::move(r).error()};
  // Creating and renaming need only write and search permission; a
  // directory without read permission still takes the output, but cannot
  // be opened for fsync.
  CV_TRY_ASSIGN(out.dir, File::open_at(base_fd, dir, O_PATH | O_DIRECTORY));
  out.dir_syncable = false;
  return {};
}

IoResult<std::string> read_link(int dir_fd, const std::string& name) {
  std::string target(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
    if (n < 0) return Err{IoError::from_errno()};
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    // The target may have been cut; try again with more room.
    target.resize(target.size() * 2);
  }
}

// rename_refused tells whether a rename over the existing regular file
// |dest| would fail, so that it must be written in place: in a sticky
// directory (such as /tmp) only the owner of the file or of the directory
// may replace the file, even where everyone may write to it (root is
// assumed to hold the capability that overrides this), and no rename
// replaces the root of a mount.
bool rename_refused(const Destination& dest) {
  struct stat dir;
  const uid_t me = ::geteuid();
  if (::fstat(dest.dir.fd(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 && me != 0 &&
      dest.st.st_uid != me && dir.st_uid != me) {
    return true;
  }
  struct statx sx;
  return ::statx(dest.dir.fd(), dest.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                 &sx) == 0 &&
         (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool in_proc(int dir_fd) {
  struct statfs fs;
  return ::fstatfs(dir_fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

bool same_file(const struct stat& a, const char* path) {
  struct stat b;
  return ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// own_writable_fd tells whether |name| in the /proc directory |dir_fd| is
// one of this process's descriptors, open for writing, and gives its
// number, else -1. Writing to that descriptor itself (not to a new opening
// of its file) keeps its position and its append mode.
int own_writable_fd(int dir_fd, const std::string& name) {
  struct stat dir;
  if (::fstat(dir_fd, &dir) != 0) return -1;
  if (!same_file(dir, "/proc/self/fd") && !same_file(dir, "/proc/thread-self/fd")) {
    return -1;
  }
  int fd = -1;
  const char* end = name.data() + name.size();
  auto [ptr, ec] = std::from_chars(name.data(), end, fd);
  if (ec != std::errc() || ptr != end || fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY) return -1;
  return fd;
}

// protected_symlinks_on tells whether the kernel's fs.protected_symlinks
// rule is on (it is read at each lookup, as the kernel does).
bool protected_symlinks_on() {
  IoResult<File> f = File::open_read("/proc/sys/fs/protected_symlinks");
  if (!f.ok()) return false;
  uint8_t value = 0;
  IoResult<size_t> n = f->read(std::span<uint8_t>(&value, 1));
  return n.ok() && *n == 1 && value != '0';
}

// check_may_follow applies the kernel's fs.protected_symlinks rule to the
// link |link| in the directory |dir_fd|, since links are followed here and
// not by the kernel: in a sticky world-writable directory (such as /tmp) a
// link is followed only when it belongs to the follower or to the
// directory's owner. Otherwise a link planted there by another user could
// send the output onto any file the follower may write.
IoResult<void> check_may_follow(int dir_fd, const struct stat& link) {
  const uid_t me = ::geteuid();
  if (link.st_uid == me) return {};
  struct stat dir;
  if (::fstat(dir_fd, &dir) != 0) return Err{IoError::from_errno()};
  const mode_t shared = S_ISVTX | S_IWOTH;
  if ((dir.st_mode & shared) != shared || dir.st_uid == link.st_uid) return {};
  if (!protected_symlinks_on()) return {};
  return Err{IoError::custom(
      ErrorKind::PermissionDenied,
      "not following a symbolic link that another user owns in a sticky "
      "world-writable directory (the kernel's fs.protected_symlinks rule)")};
}

}  // namespace

IoResult<Destination> resolve_destination(std::string_view path) {
  CV_TRY_ASSIGN(std::string rest, path_to_c(path));
  Destination out;
  int base_fd = AT_FDCWD;
  for (int hops = 0;; ++hops) {
    SplitPath split = split_path(rest);
    if (split.name.empty()) return Err{direct_open_error(base_fd, rest)};
    CV_TRY(open_dir(base_fd, split.dir, out));
    out.name = std::move(split.name);

    struct stat st;
    if (::fstatat(out.dir.fd(), out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
        0) {
      // The directory is open, so ENOENT can only mean the name is free.
      if (errno == ENOENT) return out;
      return Err{IoError::from_errno()};
    }
    if (!S_ISLNK(st.st_mode)) {
      out.exists = true;
      out.st = st;
      return out;
    }
    if (in_proc(out.dir.fd())) {
      // The kernel's links lead to no path that could be read back; only
      // the kernel can open what they stand for.
      if (::fstatat(out.dir.fd(), out.name.c_str(), &st, 0) != 0) {
        return Err{IoError::from_errno()};
      }
      out.exists = true;
      out.st = st;
      out.kernel_link = true;
      out.own_fd = own_writable_fd(out.dir.fd(), out.name);
      return out;
    }
    if (hops == kMaxLinkHops) return Err{IoError::from_os(ELOOP)};
    CV_TRY(check_may_follow(out.dir.fd(), st));
    // A relative target is relative to the link's directory; an absolute
    // one ignores base_fd.
    CV_TRY_ASSIGN(rest, read_link(out.dir.fd(), out.name));
    base_fd = out.dir.fd();
  }
}

IoError destination_exists() {
  return IoError::custom(ErrorKind::AlreadyExists,
                         std::string(kDestinationExistsMessage));
}

IoResult<Destination> writable_destination(std::string_view path,
                                           bool replace_existing) {
  CV_TRY_ASSIGN(Destination dest, resolve_destination(path));
  if (!dest.exists) return dest;
  // A directory comes first: --force could not help there.
  if (S_ISDIR(dest.st.st_mode)) return Err{IoError::from_os(EISDIR)};
  if (dest.kernel_link) return dest;
  if (!replace_existing) return Err{destination_exists()};
  if (!S_ISREG(dest.st.st_mode)) return dest;
  // The rename would succeed on a file we may not write, but a plain create
  // would fail; refuse it the same way (EACCES, EROFS, ETXTBSY).
  if (::faccessat(dest.dir.fd(), dest.name.c_str(), W_OK, AT_EACCESS) != 0) {
    return Err{IoError::from_errno()};
  }
  dest.in_place = rename_refused(dest);
  return dest;
}

}  // namespace cellvault
