// Header: the fields of the 512-byte file header that the writer sets (the
// layout and the constant fields are in cfb/format.h).

#ifndef CELLVAULT_CFB_INTERNAL_HEADER_H_
#define CELLVAULT_CFB_INTERNAL_HEADER_H_

#include <array>
#include <cstdint>
#include <span>

#include "cfb/format.h"

namespace cellvault::cfb::internal {

struct Header {
  Version version = Version::V4;
  uint32_t num_dir_sectors = 0;
  uint32_t num_fat_sectors = 0;
  uint32_t first_dir_sector = ENDOFCHAIN;
  uint32_t first_minifat_sector = ENDOFCHAIN;
  uint32_t num_minifat_sectors = 0;
  uint32_t first_difat_sector = ENDOFCHAIN;
  uint32_t num_difat_sectors = 0;
  std::array<uint32_t, kHeaderDifatEntries> difat;

  Header() { difat.fill(FREESECT); }

  // encode writes the 512 header bytes into |out|.
  void encode(std::span<uint8_t, kHeaderLen> out) const;
};

// new_file_header is the header of a new file of |version|: one FAT sector
// and a one-sector directory where the new-file layout puts them, no
// MiniFAT and no DIFAT sectors.
Header new_file_header(Version version);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_HEADER_H_
