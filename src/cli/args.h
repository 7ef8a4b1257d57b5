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

// The commands that do work on files.
enum class Command { Encrypt, Verify, Decrypt };

// What the command line asks for: a command's work, or a text to print.
enum class Action { Run, Help, CommandHelp, Version };

// The INPUT that stands for standard input.
inline constexpr std::string_view kStdinInput = "-";

struct Options {
  Action action = Action::Run;
  Command command = Command::Encrypt;
  // The positional arguments: INPUT OUTPUT, or INPUT... with --output-dir
  // (encrypt, decrypt); FILE... (verify).
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
  // encrypt --verify: read each output back before it is published.
  bool verify_output = false;
  // decrypt --ignore-integrity: decrypt a file whose integrity value does
  // not match.
  bool ignore_integrity = false;
};

// command_name is "encrypt", "verify" or "decrypt".
std::string_view command_name(Command command);

// parse_args reads argv[1..argc-1]. On success it returns the options,
// already checked for consistency (the number of paths, exclusive password
// sources, each option that takes a value given once, each option one that
// the command takes); on a usage error it
// returns one line that says what is wrong, without the program name.
// With --files-from the number of INPUTs is checked once the list is read.
TextResult<Options> parse_args(int argc, const char* const* argv);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_ARGS_H_
