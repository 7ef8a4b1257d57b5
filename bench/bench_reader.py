#!/usr/bin/env python3
"""The reader's decryption against msoffcrypto-tool's, on the same files,
and what `cellvault encrypt --verify` costs.

    python3 bench/bench_reader.py [--runs 5] [--sizes 10KB,50MB]
                                  [--memory-sizes 50MB,300MB]

Each workbook is locked once by cellvault's Python function (version 4
container). Then, in turn in one run so that machine noise hits every side
alike, each side decrypts it to a file as a whole command:

  reader   cellvault_read decrypt LOCKED OUT   (password, integrity, decrypt)
  command  cellvault decrypt -q -f LOCKED OUT  (the same through the command
                                                line: atomic output, fsync)
  peer     msoffcrypto-tool -p PASS LOCKED OUT (password, decrypt; it checks
                                                no integrity value)

and the median wall time of --runs runs of each is printed with the ratio
peer/command. Then `cellvault encrypt -q -f SRC OUT` and the same with
--verify run in turn on each workbook; the table shows both medians and
what --verify adds.
Then the reader's peak resident size (GNU time) is measured at the
--memory-sizes, to show that it does not grow with the package: the 300 MB
package is a stored ZIP of random bytes, made here. cellvault_read comes
from CELLVAULT_TOOLS_DIR (default build/test/tests/cpp).
"""

import argparse
import os
import tempfile
import zipfile
from pathlib import Path

import benchlib as B

PASSWORD = B.PASSWORD


def reader_tool() -> Path:
    tools = Path(os.environ.get("CELLVAULT_TOOLS_DIR", B.ROOT / "build" / "test" / "tests" / "cpp"))
    path = tools / "cellvault_read"
    if not os.access(path, os.X_OK):
        raise SystemExit(f"{path} is missing: build the tests (scripts/test.sh)")
    return path


def cellvault_command() -> str:
    """The installed command: the environment's scripts folder first."""
    found = B.find_command("cellvault")
    if found is None:
        raise SystemExit("the cellvault command is not installed (pip install .)")
    return found


def stored_zip(path: Path, size: int) -> Path:
    """A ZIP package of about |size| bytes of random data, stored, so that
    it is made in seconds and does not compress."""
    if not path.exists():
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            with z.open("xl/data.bin", "w", force_zip64=True) as f:
                chunk = os.urandom(1 << 20)
                for _ in range(size >> 20):
                    f.write(chunk)
    return path


def lock(src: Path, out_dir: Path) -> Path:
    import cellvault
    locked = out_dir / (src.stem + ".locked.xlsx")
    if not locked.exists():
        cellvault.encrypt_excelfile(str(src), str(locked), PASSWORD)
    return locked


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="10KB,50MB")
    parser.add_argument("--memory-sizes", default="50MB,300MB")
    args = parser.parse_args()
    tool = reader_tool()
    env = {**os.environ, "CELLVAULT_PASSWORD": PASSWORD}
    data_dir = B.ROOT / "bench" / "out"
    print(B.machine_load())
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        command = cellvault_command()
        env["PW"] = PASSWORD
        sides = ("reader", "command", "peer")
        print(f"{'size':>6}  {'reader s':>9}  {'command s':>9}  {'peer s':>9}  "
              f"{'peer/command':>12}  {'reader MB':>9}  {'peer MB':>8}")
        for label in [s for s in args.sizes.split(",") if s]:
            locked = lock(B.workbook(data_dir, label), scratch)
            times = {side: [] for side in sides}
            peaks = {side: [] for side in sides}
            for _ in range(args.runs):
                for side in sides:
                    out = scratch / f"{side}.plain"
                    argv = {
                        "reader": [str(tool), "decrypt", str(locked), str(out)],
                        "command": [command, "decrypt", "-q", "-f", "--password-env", "PW",
                                    str(locked), str(out)],
                        "peer": ["msoffcrypto-tool", "-p", PASSWORD, str(locked), str(out)],
                    }[side]
                    seconds, peak = B.run_process(argv, env=env)
                    times[side].append(seconds)
                    peaks[side].append(peak or 0)
            r, c, p = (B.median(times[side]) for side in sides)
            print(f"{label:>6}  {r:9.3f}  {c:9.3f}  {p:9.3f}  {p / c:11.1f}x  "
                  f"{max(peaks['reader']) / 1024:9.1f}  {max(peaks['peer']) / 1024:8.1f}")
        print("encrypt --verify (the command, version 3 container):")
        print(f"{'size':>6}  {'encrypt s':>9}  {'--verify s':>10}  {'added s':>8}  {'ratio':>6}")
        for label in [s for s in args.sizes.split(",") if s]:
            src = B.workbook(data_dir, label)
            times = {"plain": [], "verify": []}
            for _ in range(args.runs):
                for side in times:
                    argv = [command, "encrypt", "-q", "-f", "--password-env", "PW",
                            *(["--verify"] if side == "verify" else []), str(src),
                            str(scratch / "locked.xlsx")]
                    times[side].append(B.run_process(argv, env=env)[0])
            e, v = B.median(times["plain"]), B.median(times["verify"])
            print(f"{label:>6}  {e:9.3f}  {v:10.3f}  {v - e:8.3f}  {v / e:5.2f}x")
        print("reader peak resident size by package size:")
        for label in [s for s in args.memory_sizes.split(",") if s]:
            size = int(label.rstrip("MB")) * 1_000_000
            if label in B.SIZES:
                src = B.workbook(data_dir, label)
            else:
                src = stored_zip(data_dir / f"stored-{label}.zip", size)
            locked = lock(src, scratch)
            seconds, peak = B.run_process([str(tool), "decrypt", str(locked),
                                           str(scratch / "plain")], env=env)
            print(f"  {label:>6}: {(peak or 0) / 1024:.1f} MB peak, {seconds:.2f} s "
                  f"(package {src.stat().st_size / 1e6:.0f} MB)")
            locked.unlink()


if __name__ == "__main__":
    main()
