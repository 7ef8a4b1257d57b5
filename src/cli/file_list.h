// --files-from: the INPUTs of a batch read from a file, for batches longer
// than the command line may be.

#ifndef CELLVAULT_CLI_FILE_LIST_H_
#define CELLVAULT_CLI_FILE_LIST_H_

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace cellvault::cli {

// read_file_list returns the names listed in |path| ("-" for standard
// input), in order. Without |null_separated| there is one name a line: a
// CR before the line feed is dropped (lists written on Windows) and empty
// lines are skipped, so a name that holds a newline or ends in a CR needs
// the other form. With |null_separated| each name ends at a NUL byte (as
// `find -print0` writes them) and is taken as it is; empty ones are
// skipped. A NUL byte in a list of lines is an error: such a list was
// meant for --null. The whole list is read before the first name is used.
TextResult<std::vector<std::string>> read_file_list(std::string_view path,
                                                    bool null_separated);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_FILE_LIST_H_
