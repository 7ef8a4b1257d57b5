#include "reader/chain_walk.h"

#include "cfb/format.h"

namespace cellvault::reader {

std::string_view special_sector_name(uint32_t id) {
  switch (id) {
    case cfb::FREESECT: return "FREESECT";
    case cfb::ENDOFCHAIN: return "ENDOFCHAIN";
    case cfb::FATSECT: return "FATSECT";
    case cfb::DIFSECT: return "DIFSECT";
    case cfb::kInvalidFatEntry: return "the reserved value 0xFFFFFFFB";
    default: return "";
  }
}

ReadResult<std::vector<uint32_t>> walk_chain(const ChainSpec& spec, uint32_t start,
                                             std::optional<uint64_t> want) {
  const std::string name =
      "the " + std::string(spec.table_name) + " chain of " + spec.what;
  const auto fail = [&](std::string why) {
    return Err{ReadError::damaged_container(name + " " + why)};
  };
  if (want && *want > spec.limit) {
    return fail("needs " + std::to_string(*want) + " sectors but there are only " +
                std::to_string(spec.limit));
  }
  std::vector<uint32_t> ids;
  if (want) ids.reserve(static_cast<size_t>(*want));
  std::vector<bool> seen(static_cast<size_t>(spec.limit), false);
  uint32_t id = start;
  while (!want || ids.size() < *want) {
    if (id == cfb::ENDOFCHAIN) {
      if (!want) return ids;
      return fail("ends after " + std::to_string(ids.size()) + " sectors but " +
                  std::to_string(*want) + " are needed");
    }
    if (id > cfb::MAXREGSECT) {
      return fail("reaches " + std::string(special_sector_name(id)) + " after " +
                  std::to_string(ids.size()) + " sectors");
    }
    if (id >= spec.limit) {
      return fail("points to sector " + std::to_string(id) +
                  ", past the last of " + std::to_string(spec.limit));
    }
    if (seen[id]) {
      return fail("loops back to sector " + std::to_string(id) + " after " +
                  std::to_string(ids.size()) + " sectors");
    }
    seen[id] = true;
    ids.push_back(id);
    if (want && ids.size() == *want) break;
    if (id >= spec.table.size()) {
      return fail("leaves the " + std::string(spec.table_name) + " at sector " +
                  std::to_string(id) + " (the table has " +
                  std::to_string(spec.table.size()) + " entries)");
    }
    id = spec.table[id];
  }
  return ids;
}

}  // namespace cellvault::reader
