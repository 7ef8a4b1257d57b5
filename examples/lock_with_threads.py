"""Lock many files at once with threads.

    CELLVAULT_PASSWORD=... python lock_with_threads.py OUT_DIR FILE...

encrypt_excelfile releases the interpreter lock while it works, so a
thread pool keeps every core busy. Each file goes into OUT_DIR under its
own name; a file that fails is reported and the others are still done.
"""

import os
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cellvault


def lock_all(paths, out_dir, password, jobs=None):
    """Locks every file of `paths` into `out_dir`; returns {path: error} for
    those that failed."""
    out_dir = Path(out_dir)
    with ThreadPoolExecutor(max_workers=jobs or os.cpu_count()) as pool:
        futures = {path: pool.submit(cellvault.encrypt_excelfile, str(path),
                                     str(out_dir / Path(path).name), password)
                   for path in paths}
    # exception() hands back PanicException too, which derives from
    # BaseException and so would pass an `except Exception` around result().
    errors = {path: future.exception() for path, future in futures.items()}
    return {path: error for path, error in errors.items() if error is not None}


def main(argv):
    out_dir, *paths = argv
    failures = lock_all(paths, out_dir, os.environ["CELLVAULT_PASSWORD"])
    for path, error in failures.items():
        print("%s: %s" % (path, error), file=sys.stderr)
    print("locked %d of %d files" % (len(paths) - len(failures), len(paths)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
