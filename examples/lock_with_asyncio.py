"""Lock files from async code without blocking the event loop.

    CELLVAULT_PASSWORD=... python lock_with_asyncio.py OUT_DIR FILE...

asyncio.to_thread runs each call in the loop's thread pool; since the call
releases the interpreter lock, the loop keeps serving other work meanwhile.
A semaphore keeps the number of calls at once to the number of CPUs.
"""

import asyncio
import os
import sys
from pathlib import Path

import cellvault


async def lock_all(paths, out_dir, password, jobs=None):
    """Locks every file of `paths` into `out_dir`; returns {path: error} for
    those that failed."""
    out_dir = Path(out_dir)
    limit = asyncio.Semaphore(jobs or os.cpu_count() or 1)

    async def lock(path):
        async with limit:
            await asyncio.to_thread(cellvault.encrypt_excelfile, str(path),
                                    str(out_dir / Path(path).name), password)

    # return_exceptions collects PanicException (a BaseException) as well.
    results = await asyncio.gather(*(lock(p) for p in paths), return_exceptions=True)
    return {path: r for path, r in zip(paths, results) if isinstance(r, BaseException)}


def main(argv):
    out_dir, *paths = argv
    failures = asyncio.run(lock_all(paths, out_dir, os.environ["CELLVAULT_PASSWORD"]))
    for path, error in failures.items():
        print("%s: %s" % (path, error), file=sys.stderr)
    print("locked %d of %d files" % (len(paths) - len(failures), len(paths)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
