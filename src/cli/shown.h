// Showing file names and other arguments in the command's messages.
//
// A file name may hold any byte but '/' and NUL. Printed raw, a newline in
// it breaks the rule of one line per file and lets the name forge lines of
// its own ("cellvault: encrypted 1 file"), and escape codes drive the
// terminal. A name that holds a control character (C0, DEL or C1) or is not
// UTF-8 is therefore shown in the ANSI-C quoting of POSIX shells, as GNU
// ls does: $'...' with \n, \t, \r, \\, \' and \xHH for every other control
// byte and for each byte above 0x7f. Pasted into bash, zsh or ksh the text
// gives back the very name. Any other name is shown as it is.

#ifndef CELLVAULT_CLI_SHOWN_H_
#define CELLVAULT_CLI_SHOWN_H_

#include <string>
#include <string_view>

namespace cellvault::cli {

// shown returns |name| itself, or its $'...' form when it needs one.
std::string shown(std::string_view name);

// shown_quoted returns '<text>' for a text without control characters,
// else its $'...' form: for arguments that messages show between quotes.
std::string shown_quoted(std::string_view text);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_SHOWN_H_
