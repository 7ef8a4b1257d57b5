// The compound file versions that the writer produces.

#ifndef CELLVAULT_CFB_VERSION_H_
#define CELLVAULT_CFB_VERSION_H_

#include <cstdint>

namespace cellvault::cfb {

// Major version of an [MS-CFB] file. Version 3 has 512-byte sectors (the
// kind that common office suites write and that LibreOffice reads);
// version 4 has 4096-byte sectors.
enum class Version : uint16_t {
  V3 = 3,
  V4 = 4,
};

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_VERSION_H_
