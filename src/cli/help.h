// The texts of `cellvault --help` and `cellvault COMMAND --help`.

#ifndef CELLVAULT_CLI_HELP_H_
#define CELLVAULT_CLI_HELP_H_

#include <string>
#include <string_view>

#include "cli/args.h"

namespace cellvault::cli {

extern const std::string_view kMainHelp;
// command_help is the text of `cellvault COMMAND --help`.
std::string_view command_help(Command command);
// The line printed after a usage error, of the command line as a whole or
// of one command.
extern const std::string_view kTryHelp;
std::string try_command_help(Command command);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_HELP_H_
