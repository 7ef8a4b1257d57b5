#include "cli/help.h"

#include <string>

namespace cellvault::cli {

const std::string_view kMainHelp =
    R"(Usage: cellvault COMMAND [OPTIONS]

Password-protect Office Open XML workbooks (.xlsx) with the Agile
encryption of Office (AES-256, SHA-512, integrity check), check locked
workbooks and open them again.

Commands:
  encrypt     lock one workbook, or many into a directory
  verify      check that locked workbooks open with the password and
              have not been changed since they were locked
  decrypt     unlock one workbook, or many into a directory

Options:
  -h, --help      show this help (and 'cellvault COMMAND --help')
  -V, --version   show the version

Run 'cellvault COMMAND --help' for the options of a command.
)";

const std::string_view kEncryptHelp =
    R"(Usage: cellvault encrypt [OPTIONS] INPUT OUTPUT
       cellvault encrypt [OPTIONS] INPUT... --output-dir DIR
       cellvault encrypt [OPTIONS] --files-from FILE --output-dir DIR

Encrypt workbooks with a password. The first form writes INPUT encrypted to
OUTPUT (INPUT '-' reads standard input; name a file called '-' './-'); the
second writes each INPUT to DIR under its own file name. Each
output appears complete or not at all: it is written to a temporary file in
the same directory and renamed into place. An OUTPUT of '-' is standard
output; it, a FIFO, a device and a descriptor such as /dev/stdout are
written in place, in order, and are not atomic.

Password: asked for twice on the terminal, without echo (three tries when
the two answers differ), unless given by
  --password-file FILE   read it from FILE ('-' for standard input); a
                         warning is shown when others may read FILE
  --password-env NAME    read it from the environment variable NAME
  From both, a UTF-8 byte order mark at the start and one trailing
  newline (LF or CR LF) are dropped.
  The password is never accepted on the command line, where other users
  can read it in the process list.

Options:
  -o, --output-dir DIR   write every INPUT into DIR, keeping its name
  --files-from FILE      also encrypt the files that FILE lists ('-' for
                         standard input), one name a line: empty lines
                         are skipped and a CR before the line feed is
                         dropped; needs --output-dir
  --null                 the names in the --files-from list each end
                         with a NUL byte instead (find -print0); they may
                         then hold newlines
  -f, --force            replace outputs that already exist (without it an
                         existing output is an error and stays untouched)
  --verify               before an output is published, read the written
                         file back, decrypt it with the password and
                         compare it with the input; publish it only when
                         they match (costs a second key derivation and a
                         read of the output, see the README)
  --container-version N  the version of the compound file around the
                         encrypted workbook: 3 (the default) or 4.
                         Version 3 uses 512-byte sectors; it is what the
                         common office suites write, and every reader
                         opens it, LibreOffice included. Version 4 uses
                         4096-byte sectors and is exactly what the Python
                         function cellvault.encrypt_excelfile writes; some
                         readers, LibreOffice among them, cannot open it.
  -j, --jobs N           encrypt N files at a time (default: one per CPU)
  -q, --quiet            no progress bar and no summary line
  -h, --help             show this help

A progress bar is shown on standard error when there is more than one file
and standard error is a terminal; a summary line ends the run. A file that
fails is reported on one line naming the file and the cause; the others
are still done. A file name that holds control characters is shown as
$'...' with backslash escapes. An output that leads (through a link, or
as a hard link) to another input or output of the run is refused. An
interrupt (Ctrl-C) starts no more files, stops waiting for input, and lets
the files being written finish; a second one stops at once.

Exit status: 0 when every file was encrypted, 1 when any file failed,
2 for a usage error (bad options, a missing --output-dir, no password);
after an interrupt the process ends by the signal (a shell shows 130 for
Ctrl-C, 143 for SIGTERM).
)";

const std::string_view kVerifyHelp =
    R"(Usage: cellvault verify [OPTIONS] FILE...
       cellvault verify [OPTIONS] --files-from FILE

Check locked workbooks: that each FILE opens with the password, and that
its integrity value (an HMAC over the encrypted workbook) matches, so that
it was not changed after it was locked. Nothing is written.

One line per FILE goes to standard output, in the order given:
  FILE: ok (integrity value matches; ENCRYPTION)
  FILE: ok, but it carries no integrity value to check (ENCRYPTION)
  FILE: FAILED: CAUSE
where CAUSE is one of
  wrong password
  the file was changed after it was locked (its integrity value does not
    match)
  not an encrypted Office file: WHAT IT IS (a plain ZIP package, an empty
    file, ...)
  damaged container: WHAT IS WRONG AND WHERE
  damaged encryption descriptor: WHAT IS WRONG
  unsupported encryption: WHICH ONE
or the system's error when FILE cannot be read. It reads the Agile
encryption (SHA-1, SHA-256, SHA-384 or SHA-512; AES-128, -192 or -256) and
the Standard encryption (AES with SHA-1) of office suites, in containers of
version 3 or 4.

Password: asked for once on the terminal, without echo, unless given by
  --password-file FILE   read it from FILE ('-' for standard input)
  --password-env NAME    read it from the environment variable NAME
  as for 'cellvault encrypt'. Every FILE is checked with that password.

Options:
  --files-from FILE      also check the files that FILE lists ('-' for
                         standard input), one name a line
  --null                 the names in that list each end with a NUL byte
  -j, --jobs N           check N files at a time (default: one per CPU)
  -q, --quiet            no summary line on standard error
  -h, --help             show this help

Exit status: 0 when every FILE opens with the password and no integrity
value fails, 1 when any FILE fails, 2 for a usage error (bad options, no
password); after an interrupt the process ends by the signal.
)";

const std::string_view kDecryptHelp =
    R"(Usage: cellvault decrypt [OPTIONS] INPUT OUTPUT
       cellvault decrypt [OPTIONS] INPUT... --output-dir DIR
       cellvault decrypt [OPTIONS] --files-from FILE --output-dir DIR

Unlock workbooks: write the plain workbook of each locked INPUT to OUTPUT,
or into DIR under the input's own file name. Each output appears complete
or not at all: it is written to a temporary file in the same directory and
renamed into place only when the whole workbook was decrypted. The
password and the integrity value are checked before any output is
written; 'cellvault verify --help' lists the causes of a failure.

Password: asked for once on the terminal, without echo, unless given by
  --password-file FILE   read it from FILE ('-' for standard input)
  --password-env NAME    read it from the environment variable NAME
  as for 'cellvault encrypt'.

Options:
  -o, --output-dir DIR   write every INPUT into DIR, keeping its name
  --files-from FILE      also decrypt the files that FILE lists ('-' for
                         standard input), one name a line; needs
                         --output-dir
  --null                 the names in that list each end with a NUL byte
  -f, --force            replace outputs that already exist (without it an
                         existing output is an error and stays untouched)
  --ignore-integrity     decrypt a file whose integrity value does not
                         match (it was changed or damaged after it was
                         locked) instead of refusing it; a line on
                         standard error names each such file
  -j, --jobs N           decrypt N files at a time (default: one per CPU)
  -q, --quiet            no progress bar and no summary line
  -h, --help             show this help

As for 'cellvault encrypt': a progress bar for many files on a terminal,
one line per failed file naming it and the cause, a summary line, outputs
that lead to another input or output of the run refused, and an interrupt
(Ctrl-C) starts no more files and lets the files being written finish.

Exit status: 0 when every file was decrypted, 1 when any file failed,
2 for a usage error (bad options, a missing --output-dir, no password);
after an interrupt the process ends by the signal (130 for Ctrl-C, 143 for
SIGTERM in a shell).
)";

const std::string_view kTryHelp = "Try 'cellvault --help' for more information.\n";

std::string_view command_help(Command command) {
  switch (command) {
    case Command::Encrypt: return kEncryptHelp;
    case Command::Verify: return kVerifyHelp;
    case Command::Decrypt: return kDecryptHelp;
  }
  return kEncryptHelp;
}

std::string try_command_help(Command command) {
  return "Try 'cellvault " + std::string(command_name(command)) +
         " --help' for more information.\n";
}

}  // namespace cellvault::cli
