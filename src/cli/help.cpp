#include "cli/help.h"

namespace cellvault::cli {

const std::string_view kMainHelp =
    R"(Usage: cellvault COMMAND [OPTIONS]

Password-protect Office Open XML workbooks (.xlsx) with the Agile
encryption of Office (AES-256, SHA-512, integrity check).

Commands:
  encrypt     lock one workbook, or many into a directory

Options:
  -h, --help      show this help (and 'cellvault encrypt --help')
  -V, --version   show the version

Run 'cellvault encrypt --help' for the encryption options.
)";

const std::string_view kEncryptHelp =
    R"(Usage: cellvault encrypt [OPTIONS] INPUT OUTPUT
       cellvault encrypt [OPTIONS] INPUT... --output-dir DIR
       cellvault encrypt [OPTIONS] --files-from FILE --output-dir DIR

Encrypt workbooks with a password. The first form writes INPUT encrypted to
OUTPUT (INPUT '-' reads standard input; name a file called '-' './-'); the
second writes each INPUT to DIR under its own file name. Each
output appears complete or not at all: it is written to a temporary file in
the same directory and renamed into place.

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

const std::string_view kTryHelp = "Try 'cellvault --help' for more information.\n";
const std::string_view kTryEncryptHelp =
    "Try 'cellvault encrypt --help' for more information.\n";

}  // namespace cellvault::cli
