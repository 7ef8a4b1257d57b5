// Paths inside the container: splitting a file-system style path into the
// chain of entry names, and rebuilding a path from such a chain.

#ifndef CELLVAULT_CFB_INTERNAL_PATH_H_
#define CELLVAULT_CFB_INTERNAL_PATH_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace cellvault::cfb::internal {

// name_chain_from_path splits |path| at "/" (repeated and trailing
// separators ignored): a leading "/" starts at the root, "." is skipped and
// ".." drops the last name. Fails with InvalidInput "Invalid path (must be
// within root)" when ".." would leave the root, and "Non UTF-8 path" for a
// component that is not UTF-8. The empty list designates the root.
IoResult<std::vector<std::string>> name_chain_from_path(std::string_view path);

// path_from_name_chain gives "/" followed by the names joined with "/".
std::string path_from_name_chain(std::span<const std::string> names);

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_PATH_H_
