#include "cfb/internal/path.h"

#include "cfb/internal/name.h"

namespace cellvault::cfb::internal {

IoResult<std::vector<std::string>> name_chain_from_path(std::string_view path) {
  std::vector<std::string> names;
  size_t i = 0;
  while (i <= path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (names.empty()) {
        return Err{IoError::custom(ErrorKind::InvalidInput, "Invalid path (must be within root)")};
      }
      names.pop_back();
      continue;
    }
    if (!is_valid_utf8(part)) {
      return Err{IoError::custom(ErrorKind::InvalidInput, "Non UTF-8 path")};
    }
    names.emplace_back(part);
  }
  return names;
}

std::string path_from_name_chain(std::span<const std::string> names) {
  std::string out = "/";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += '/';
    out += names[i];
  }
  return out;
}

}  // namespace cellvault::cfb::internal
