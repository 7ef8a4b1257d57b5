// Destination: where a path for writing finally leads.
//
// Writing a file safely means creating a temporary file beside the real
// destination and renaming it over that destination. When the path given
// is a symbolic link (or a chain of them), the file to replace is the one at
// the end of the chain, in that file's own directory; the link itself must
// survive. resolve_destination walks the chain the way the kernel would
// (relative link targets are resolved against the link's own directory)
// and reports the errors that a plain create of the path would report.

#ifndef CELLVAULT_COMMON_DESTINATION_H_
#define CELLVAULT_COMMON_DESTINATION_H_

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file.h"

namespace cellvault {

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
};

// resolve_destination follows |path| through symbolic links to the name
// that a create of |path| would create or truncate. On success the result
// holds that name's directory, open. A dangling link resolves to the
// missing name it points at. On failure the error is the one that
// open(|path|, O_RDWR | O_CREAT | O_TRUNC) would have given, as far as it
// can be known without creating anything: NotFound for a missing directory,
// NotADirectory for a path through a file, IsADirectory for a path ending
// in '/', a loop of links (ELOOP), or InvalidInput for a NUL byte.
// Nothing is created or changed.
IoResult<Destination> resolve_destination(std::string_view path);

}  // namespace cellvault

#endif  // CELLVAULT_COMMON_DESTINATION_H_
