#include "writer/xlsx.h"

#include <utility>

#include "common/abort.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/source.h"

namespace cellvault {

void set_password(std::string_view from_path, std::string_view to_path,
                  std::string_view password, const OutputOptions& options,
                  const CancelHook& cancel) {
  // The whole source is read before the destination is touched, so the two
  // paths may name the same file. The bytes are not examined.
  File source = unwrap(open_source(from_path));
  PackageBuffer package = unwrap(read_package(source, cancel));
  encrypt(to_path, std::move(package), password, options);
}

}  // namespace cellvault
