// Command line arguments of the `cellvault` command.

#ifndef CELLVAULT_CLI_ARGS_H_
#define CELLVAULT_CLI_ARGS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/version.h"
#include "common/error.h"

namespace cellvault::cli {

// What the command line asks for. Only `encrypt` does work; the other
// actions print a text and exit.
enum class Action { Encrypt, Help, EncryptHelp, Version };

// The INPUT that stands for standard input.
inline constexpr std::string_view kStdinInput = "-";

struct Options {
  Action action = Action::Encrypt;
  // The positional arguments: INPUT OUTPUT, or INPUT... with --output-dir.
  std::vector<std::string> paths;
  std::optional<std::string> output_dir;
  cfb::Version version = cfb::Version::V3;
  std::optional<std::string> password_file;
  std::optional<std::string> password_env;
  // --files-from: a file ("-" for standard input) that lists more INPUTs,
  // one a line or, with --null, each ended by a NUL byte.
  std::optional<std::string> files_from;
  bool null_separated = false;
  // 0 means one job per CPU.
  unsigned jobs = 0;
  bool force = false;
  bool quiet = false;
};

// parse_args reads argv[1..argc-1]. On success it returns the options,
// already checked for consistency (the number of paths, exclusive password
// sources, each option that takes a value given once); on a usage error it
// returns one line that says what is wrong, without the program name.
// With --files-from the number of INPUTs is checked once the list is read.
TextResult<Options> parse_args(int argc, const char* const* argv);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_ARGS_H_
