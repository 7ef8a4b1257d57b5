#include "writer/xlsx.h"

#include <utility>

#include "common/abort.h"
#include "common/file.h"
#include "common/package_buffer.h"

namespace cellvault {

void set_password(std::string_view from_path, std::string_view to_path,
                  std::string_view password, const OutputOptions& options) {
  // The whole source is read before the destination is touched, so the two
  // paths may name the same file. The bytes are not examined.
  File source = unwrap(File::open_read(from_path));
  PackageBuffer package = unwrap(read_package(source));
  encrypt(to_path, std::move(package), password, options);
}

}  // namespace cellvault
