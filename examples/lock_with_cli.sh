#!/bin/sh
# Lock every .xlsx, .docx and .pptx under a folder with the command line:
# the names go through --files-from (no command-line length limit, --null
# for any name), --jobs sets how many files are done at a time.
#
#   CELLVAULT_PASSWORD=... sh lock_with_cli.sh SRC_DIR OUT_DIR [JOBS]
set -eu
src=$1 out=$2 jobs=${3:-2}
mkdir -p "$out"
find "$src" -type f \( -name '*.xlsx' -o -name '*.docx' -o -name '*.pptx' \) -print0 |
  cellvault encrypt --password-env CELLVAULT_PASSWORD --files-from - --null \
    --output-dir "$out" --jobs "$jobs"
