"""Many files on one machine: the command line (--files-from, --jobs)
against a thread pool in Python (examples/lock_with_threads.py), one after
the other in each round, whole processes timed from start to exit.

    python3 bench/bench_many.py [--files 48] [--large 4] [--rounds 5]

The batch is --files small workbooks (about 10 KB, where the password key
derivation is nearly all the work) and --large workbooks of about 5 MB
(where the AES and SHA-512 passes over the package count). Printed:
the median seconds of each way and their ratios to the command with
--jobs 2, with the machine's load.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from benchlib import PASSWORD, ROOT, find_command, machine_load, median

sys.path.insert(0, str(ROOT / "tests" / "python"))
from workbooks import make_sized_workbook  # noqa: E402

THREADS = ROOT / "examples" / "lock_with_threads.py"


def make_batch(folder, small, large):
    folder.mkdir(parents=True, exist_ok=True)
    make_sized_workbook(folder / "seed-small.xlsx", 10_000, seed=1)
    make_sized_workbook(folder / "seed-large.xlsx", 5_000_000, seed=2)
    paths = []
    for i in range(small):
        paths.append(folder / ("small-%03d.xlsx" % i))
        shutil.copyfile(folder / "seed-small.xlsx", paths[-1])
    for i in range(large):
        paths.append(folder / ("large-%03d.xlsx" % i))
        shutil.copyfile(folder / "seed-large.xlsx", paths[-1])
    (folder / "seed-small.xlsx").unlink()
    (folder / "seed-large.xlsx").unlink()
    return paths


def timed(argv, env):
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (argv[:2], done.stderr))
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=48)
    parser.add_argument("--large", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    cli = find_command("cellvault")
    if cli is None:
        sys.exit("the cellvault command is not installed (pip install .)")

    with tempfile.TemporaryDirectory(prefix="bench-many-") as scratch:
        scratch = Path(scratch)
        paths = make_batch(scratch / "in", args.files, args.large)
        listing = scratch / "list"
        listing.write_bytes(b"".join(bytes(p) + b"\0" for p in paths))
        out = scratch / "out"
        out.mkdir()
        env = dict(os.environ, CELLVAULT_PASSWORD=PASSWORD)
        ways = {
            "command --jobs 2": [cli, "encrypt", "-q", "-f", "--password-env", "CELLVAULT_PASSWORD",
                                 "--files-from", str(listing), "--null", "-o", str(out), "--jobs", "2"],
            "command --jobs 1": [cli, "encrypt", "-q", "-f", "--password-env", "CELLVAULT_PASSWORD",
                                 "--files-from", str(listing), "--null", "-o", str(out), "--jobs", "1"],
            "thread pool (Python)": [sys.executable, str(THREADS), str(out), *map(str, paths)],
        }
        times = {name: [] for name in ways}
        timed(ways["command --jobs 2"], env)  # warm the page cache
        for _ in range(args.rounds):
            for name, argv in ways.items():
                times[name].append(timed(argv, env))

    print("%d files of about 10 KB and %d of about 5 MB; medians of %d rounds, "
          "whole processes" % (args.files, args.large, args.rounds))
    base = median(times["command --jobs 2"])
    for name, values in times.items():
        m = median(values)
        print("  %-20s %7.3f s   %.2f x the command with --jobs 2" % (name, m, m / base))
    print("  (the thread pool has os.cpu_count() = %d workers)" % (os.cpu_count() or 0))
    print(machine_load())


if __name__ == "__main__":
    main()
