// The texts of `cellvault --help` and `cellvault encrypt --help`.

#ifndef CELLVAULT_CLI_HELP_H_
#define CELLVAULT_CLI_HELP_H_

#include <string_view>

namespace cellvault::cli {

extern const std::string_view kMainHelp;
extern const std::string_view kEncryptHelp;
// The line printed after a usage error, of the command as a whole or of
// `encrypt`.
extern const std::string_view kTryHelp;
extern const std::string_view kTryEncryptHelp;

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_HELP_H_
