// Where the command gets its password: a file, an environment variable or
// an interactive prompt. Never the command line, which other users can read
// in the process list.

#ifndef CELLVAULT_CLI_PASSWORD_H_
#define CELLVAULT_CLI_PASSWORD_H_

#include <optional>
#include <string>
#include <string_view>

#include "cli/args.h"
#include "common/error.h"
#include "common/secure.h"

namespace cellvault::cli {

// The largest password file that is read. A password is a line of text; a
// larger file is almost certainly the wrong file (a workbook given by
// mistake), and is refused rather than used as a password.
inline constexpr size_t kMaxPasswordBytes = 64 * 1024;

// How many times the prompt asks for the password and its repetition
// before it gives up on answers that differ.
inline constexpr int kPromptAttempts = 3;

// read_password gets the password from the source that |options| names:
// --password-file, --password-env, or else the prompt on the terminal
// (twice for encrypt, once for the commands that read locked files).
// On success the password is non-empty, valid UTF-8 text in a buffer that
// is wiped when released, and |warning| (when given) is set to a line to
// show, for a password file that others may read, or reset. On failure the
// text says what went wrong, ready to be printed after "cellvault: ".
TextResult<SecretBytes> read_password(const Options& options,
                                      std::optional<std::string>* warning = nullptr);

// password_from_file reads |path| ("-" for standard input) and drops a
// leading UTF-8 byte order mark and one trailing newline ("\n" or "\r\n"),
// as for a variable. Fails when the file cannot be read or is larger than
// kMaxPasswordBytes. |warning| (when given) is set when the file is a
// regular file that its group or others may read.
TextResult<SecretBytes> password_from_file(std::string_view path,
                                           std::optional<std::string>* warning = nullptr);

// prompt_password asks on the controlling terminal (/dev/tty) with echo
// turned off. With |confirm| it asks twice and, when the two answers
// differ, says so and asks again, up to kPromptAttempts times in all
// (encrypt); without it, once (verify, decrypt). It fails after the last mismatch,
// when input ends (the prompt's line is ended first) or when there is no
// terminal. The terminal's settings are restored on
// every way out, also when SIGINT, SIGTERM, SIGHUP or SIGQUIT arrive while
// it waits; the signal then takes its default effect.
TextResult<SecretBytes> prompt_password(bool confirm);

}  // namespace cellvault::cli

#endif  // CELLVAULT_CLI_PASSWORD_H_
