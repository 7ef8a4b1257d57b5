// Where the command gets its password: a file, an environment variable or
// an interactive prompt. Never the command line, which other users can read
// in the process list.

#ifndef CELLVAULT_CLI_PASSWORD_H_
#define CELLVAULT_CLI_PASSWORD_H_

#include <string_view>

#include "cli/args.h"
#include "common/error.h"
#include "common/secure.h"

namespace cellvault::cli {

// The largest password file that is read. A password is a line of text; a
// larger file is almost certainly the wrong file (a workbook given by
// mistake), and is refused rather than used as a password.
inline constexpr size_t kMaxPasswordBytes = 64 * 1024;

// read_password gets the password from the source that |options| names:
// --password-file, --password-env, or else the prompt on the terminal.
// On success the password is non-empty, valid UTF-8 text in a buffer that
// is wiped when released. On failure the text says what went wrong, ready
// to be printed after "cellvault: ".
TextResult<SecretBytes> read_password(const Options& options);

// password_from_file reads |path| ("-" for standard input) and strips one
// trailing newline ("\n" or "\r\n"). Fails when the file cannot be read or
// is larger than kMaxPasswordBytes.
TextResult<SecretBytes> password_from_file(std::string_view path);

// prompt_password asks twice on the controlling terminal (/dev/tty) with
// echo turned off, and fails when the two answers differ, when input ends
// or when there is no terminal. The terminal's settings are restored on
// every way out, also when SIGINT, SIGTERM, SIGHUP or SIGQUIT arrive while
// it waits; the signal then takes its default effect.
TextResult<SecretBytes> prompt_password();

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_PASSWORD_H_
