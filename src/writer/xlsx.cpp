#include "writer/xlsx.h"

#include "common/abort.h"
#include "common/file.h"

namespace cellvault {

void set_password(std::string_view from_path, std::string_view to_path,
                  std::string_view password, const OutputOptions& options) {
  // The whole source is read before the destination is touched, so the two
  // paths may name the same file. The bytes are not examined.
  File source = unwrap(File::open_read(from_path));
  const Bytes package = unwrap(source.read_to_end());
  encrypt(to_path, package, password, options);
}

}  // namespace cellvault
