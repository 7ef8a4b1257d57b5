#include "cli/file_list.h"

#include <unistd.h>

#include "cli/shown.h"
#include "common/file.h"

namespace cellvault::cli {
namespace {

IoResult<Bytes> read_list(std::string_view path) {
  if (path != "-") {
    CV_TRY_ASSIGN(File file, File::open_read(path));
    return file.read_to_end();
  }
  // Standard input is read through a copy of its descriptor, which the
  // File closes.
  File in(::dup(STDIN_FILENO));
  if (!in.is_open()) return Err{IoError::from_errno()};
  return in.read_to_end();
}

}  // namespace

TextResult<std::vector<std::string>> read_file_list(std::string_view path,
                                                    bool null_separated) {
  const std::string name =
      path == "-" ? std::string("(standard input)") : shown(path);
  IoResult<Bytes> text = read_list(path);
  if (!text.ok()) {
    return Err{"cannot read the list of files " + name + ": " + text.error().message()};
  }
  const char end = null_separated ? '\0' : '\n';
  std::vector<std::string> names;
  std::string_view rest(reinterpret_cast<const char*>(text->data()), text->size());
  if (!null_separated && rest.find('\0') != std::string_view::npos) {
    return Err{"the list of files " + name + " holds a NUL byte (use --null)"};
  }
  while (!rest.empty()) {
    const size_t stop = rest.find(end);
    std::string_view entry = rest.substr(0, stop);
    rest = stop == std::string_view::npos ? std::string_view() : rest.substr(stop + 1);
    if (!null_separated && entry.ends_with('\r')) entry.remove_suffix(1);
    if (!entry.empty()) names.emplace_back(entry);
  }
  return names;
}

}  // namespace cellvault::cli
