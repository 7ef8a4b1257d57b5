// Destination: where a path for writing finally leads, and whether it may
// be written there.
//
// Writing a file safely means creating a temporary file beside the real
// destination and renaming it over that destination. When the path given
// is a symbolic link (or a chain of them), the file to replace is the one at
// the end of the chain, in that file's own directory; the link itself must
// survive. resolve_destination walks the chain the way the kernel would
// (relative link targets are resolved against the link's own directory)
// and reports the errors that a plain create of the path would report.
// writable_destination adds the policy on top: it is the one answer to "may
// this destination be written?" for the Python function and the command
// line alike.

#ifndef CELLVAULT_COMMON_DESTINATION_H_
#define CELLVAULT_COMMON_DESTINATION_H_

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file.h"

namespace cellvault {

// The message of the AlreadyExists error when a destination may not be
// replaced.
inline constexpr std::string_view kDestinationExistsMessage =
    "destination exists";

// destination_exists is that error: AlreadyExists kDestinationExistsMessage.
IoError destination_exists();

struct Destination {
  // The directory that holds |name|.
  File dir;
  // dir was opened for reading, so it can be flushed with fsync. A directory
  // that may be searched and written but not read is held as a path only.
  bool dir_syncable = false;
  // The final name inside |dir|; never a symbolic link when it exists.
  std::string name;
  // Whether |name| exists in |dir|; |st| describes it when it does.
  bool exists = false;
  struct stat st {};
  // |name| is a link of the kernel's own in /proc (a process's descriptor,
  // reached directly or through /dev/stdout, /dev/fd/N and the like). Such a
  // link is never read as a path: opening it opens what the descriptor has
  // open (a pipe, a terminal, a deleted file), which |st| describes.
  bool kernel_link = false;
  // For a kernel link to one of this process's own descriptors that is open
  // for writing: that descriptor's number, else -1.
  int own_fd = -1;
  // An existing regular file that a rename could not replace, so it must be
  // written in place: it is the root of a mount (a file bind-mounted on its
  // own, as container volumes are; renaming over it is EBUSY), or another
  // user's file in a sticky directory (EPERM) that this user may write.
  bool in_place = false;
};

// resolve_destination follows |path| through symbolic links to the name
// that a create of |path| would create or truncate. On success the result
// holds that name's directory, open. A dangling link resolves to the
// missing name it points at. On failure the error is the one that
// open(|path|, O_RDWR | O_CREAT | O_TRUNC) would have given, as far as it
// can be known without creating anything: NotFound for a missing directory,
// NotADirectory for a path through a file, IsADirectory for a path ending
// in '/', a loop of links (ELOOP), or InvalidInput for a NUL byte.
// A link of the kernel's own ends the walk (see kernel_link). While the
// kernel's fs.protected_symlinks rule is on, a link in a sticky
// world-writable directory that belongs neither to this process's user nor
// to the directory's owner is refused (PermissionDenied), as the kernel
// would refuse it. Nothing is created or changed.
IoResult<Destination> resolve_destination(std::string_view path);

// writable_destination resolves |path| as resolve_destination does and
// answers whether the output may go there. It refuses, in this order:
// - an existing directory at the end of the path, reached through links or
//   not: IsADirectory (EISDIR), as a plain create would;
// - with |replace_existing| false, anything else that exists: AlreadyExists
//   kDestinationExistsMessage;
// - an existing regular file that a plain create could not open for
//   writing (EACCES, EROFS, ETXTBSY).
// An existing destination that is not a regular file (a device, a FIFO)
// passes: it is written in place. So does a regular file that the final
// rename could not replace (see Destination::in_place). So does a kernel link, with or without
// |replace_existing|: it is a descriptor to write to, not a file to
// replace. Nothing is created or changed, so the
// command line asks this before any costly work and AtomicOutput::begin
// asks it again when the output really starts.
IoResult<Destination> writable_destination(std::string_view path,
                                           bool replace_existing);

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_DESTINATION_H_
