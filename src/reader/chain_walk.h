// Following sector chains through an allocation table (FAT or MiniFAT)
// read from a file that may have been made to break the reader.
//
// A chain is a linked list threaded through the table: entry i holds the
// id of the sector after sector i, or ENDOFCHAIN. A hostile table can make
// a chain loop, point past the end of the file or of the table, or run
// into a free or reserved entry; each of these is a damaged-container error
// that names the chain. The walk takes at most |limit| steps (the number
// of sectors there are), and its memory is one bit per sector plus the
// ids it returns, so a file can never make it run long or allocate more
// than a small multiple of its own size.

#ifndef CELLVAULT_READER_CHAIN_WALK_H_
#define CELLVAULT_READER_CHAIN_WALK_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reader/error.h"

namespace cellvault::reader {

struct ChainSpec {
  // The table to follow.
  std::span<const uint32_t> table;
  // Sector ids at or above |limit| do not exist (the sectors in the file,
  // or the mini sectors in the mini stream).
  uint64_t limit = 0;
  // "FAT" or "MiniFAT", and what the chain holds ("the directory",
  // "stream EncryptedPackage"), for messages.
  std::string_view table_name;
  std::string what;
};

// walk_chain returns the ids of the chain from |start|. With |want| it
// returns exactly that many ids (the sectors that a stream's size needs)
// and ignores what the last one links to; a chain that ends or breaks
// before is an error. Without |want| it follows the chain to ENDOFCHAIN.
ReadResult<std::vector<uint32_t>> walk_chain(const ChainSpec& spec, uint32_t start,
                                             std::optional<uint64_t> want);

// special_sector_name names the reserved values of the tables
// ("ENDOFCHAIN", "FREESECT", ...) and gives "" for a regular id.
std::string_view special_sector_name(uint32_t id);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_CHAIN_WALK_H_
