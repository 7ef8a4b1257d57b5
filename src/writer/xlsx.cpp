#include "writer/xlsx.h"

#include <optional>
#include <utility>

#include "common/abort.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"

namespace cellvault {

void set_password(std::string_view from_path, std::string_view to_path,
                  std::string_view password, const OutputOptions& options,
                  const CancelHook& cancel) {
  // The bytes are not examined. The source is open before the destination
  // is touched, and the destination is a new file until the end, so the two
  // paths may name the same file.
  File source = unwrap(open_source(from_path));
  // The same hook ends a wait for the output's reader (a FIFO).
  OutputOptions waiting = options;
  waiting.cancel = cancel;
  if (const std::optional<uint64_t> len = streamed_len(source)) {
    encrypt_file(to_path, source, *len, password, waiting);
    return;
  }
  PackageBuffer package = unwrap(read_package(source, cancel));
  encrypt(to_path, std::move(package), password, waiting);
}

}  // namespace cellvault
