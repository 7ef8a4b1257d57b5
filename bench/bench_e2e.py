#!/usr/bin/env python3
"""End-to-end benchmark of cellvault.encrypt_excelfile against its floors.

    python3 bench/bench_e2e.py [--runs 5] [--sizes 10KB,1MB,50MB] [--out-dir bench/out]

For generated workbooks of about 10 KB, 1 MB and 50 MB it prints the median
time of one call (each in a fresh, warmed-up child interpreter), the peak
memory the call added, and ratios to floors measured in the same run:

  chain floor  one spin chain, 100000 single-block SHA-512 compressions:
               the password work that no call can skip
  bulk floor   one AES-256-CBC pass + one SHA-512 pass + a plain copy of
               a file of the same size

Both floors come from the `bench_floor` helper in $CELLVAULT_BENCH_DIR
(default build/test/bench): `bench_floor chain` and `bench_floor bulk FILE`
each print seconds. Without it the chain floor is not shown and the bulk
floor is measured through `cryptography`/hashlib/shutil.

The ratio is to the chain floor for 10 KB and to chain + bulk for the
larger files: every call derives its keys, so at 1 MB the chain is still
most of the unavoidable work, and even at 50 MB it is a tenth of it.

Targets: time <= 1.3 x the floor;
peak memory <= 2.2 x input + 32 MB; two threads encrypting two 10 KB
workbooks at once take at most 1.25 x the time of one call.
"""

import argparse
import json
import subprocess
import sys
import tempfile

import benchlib as B

# Two threads, each encrypting its own 10 KB workbook, against one call.
THREADS_CHILD = r"""
import json, sys, threading, time, cellvault
a, b, out_dir, password, runs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
def call(src, name):
    cellvault.encrypt_excelfile(src, out_dir + "/" + name, password)
call(a, "warm")
one, two = [], []
for _ in range(runs):
    start = time.perf_counter(); call(a, "one"); one.append(time.perf_counter() - start)
    threads = [threading.Thread(target=call, args=(s, n)) for s, n in ((a, "ta"), (b, "tb"))]
    start = time.perf_counter()
    for t in threads: t.start()
    for t in threads: t.join()
    two.append(time.perf_counter() - start)
one.sort(); two.sort()
print(json.dumps({"one": one[len(one) // 2], "two": two[len(two) // 2]}))
"""


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--runs", type=int, default=5, help="calls per size (median; >= 5)")
    parser.add_argument("--sizes", default=",".join(B.SIZES),
                        help="comma-separated among %s" % ", ".join(B.SIZES))
    parser.add_argument("--out-dir", default=str(B.ROOT / "bench" / "out"),
                        help="where generated workbooks are kept between runs")
    return B.parse_args(parser)


def thread_check(args, warm, scratch):
    other = B.workbook(args.out_dir, "10KB", seed=1)
    done = subprocess.run([sys.executable, "-c", THREADS_CHILD, str(warm), str(other),
                           scratch, B.PASSWORD, str(max(args.runs, 9))],
                          capture_output=True, text=True, cwd=scratch)
    if done.returncode != 0:
        raise RuntimeError("thread child failed:\n" + done.stderr.strip())
    result = json.loads(done.stdout.strip().splitlines()[-1])
    ratio = result["two"] / result["one"]
    print("two threads, two 10 KB workbooks: %.1f ms vs one call %.1f ms: %.2f x"
          " (target <= 1.25 x) %s" % (result["two"] * 1e3, result["one"] * 1e3, ratio,
                                      B.verdict(ratio <= 1.25)))
    return ratio <= 1.25


def fmt_ms(seconds):
    return "%.1fms" % (seconds * 1e3) if seconds is not None else "n/a"


def main():
    args = parse_args()
    warm = B.workbook(args.out_dir, "10KB")
    books = {label: B.workbook(args.out_dir, label) for label in args.sizes}
    missing = B.cellvault_import_error()

    print(B.machine_load())
    # The chain floor is sampled at the start and after each size's calls;
    # each row uses the median so far, so that a change of load during the
    # run weighs on floor and calls alike.
    chain_samples = []

    def sample_chain():
        value = B.chain_floor()
        if value:
            chain_samples.append(value)
        return B.median(chain_samples) if chain_samples else None

    chain = sample_chain()
    if not chain:
        print("chain floor: n/a (neither bench_floor nor bench_crypto in %s;"
              " set CELLVAULT_BENCH_DIR)" % B.bench_dir())
    if missing:
        print("cellvault cannot be imported (%s): install it with `pip install .`;"
              " only the floors are shown." % missing)
    else:
        print("cellvault: %s" % B.cellvault_origin())

    row = "%-5s %10s %9s %9s %10s %7s %9s %9s  %s"
    print(row % ("size", "bytes", "median", "chain", "bulk", "ratio", "peak", "mem max",
                 "verdict"))
    all_ok = True
    with tempfile.TemporaryDirectory() as scratch:
        for label, path in books.items():
            size = path.stat().st_size
            limit_mb = (2.2 * size + 32 * B.MB) / B.MB
            bulk, source = B.bulk_floor(path)
            bulk_text = fmt_ms(bulk) + ("" if source == "bench_floor" else "*")
            calls = [] if missing else [B.measure_call("cellvault", path, warm, scratch)
                                        for _ in range(max(args.runs, 1))]
            chain = sample_chain()  # after the calls: they sit between two samples
            if missing:
                print(row % (label, size, "-", fmt_ms(chain), bulk_text, "-", "-",
                             "%.1fMB" % limit_mb, "not run"))
                continue
            if label == "10KB":
                floor = chain
            else:
                floor = chain + bulk if chain else None
            seconds = B.median([c["seconds"] for c in calls])
            peak_mb = B.median([c["added_kb"] for c in calls]) / 1024
            ratio = seconds / floor if floor else None
            ok = (ratio is None or ratio <= 1.3) and peak_mb <= limit_mb
            all_ok &= ok
            print(row % (label, size, fmt_ms(seconds), fmt_ms(chain), bulk_text,
                         "%.2fx" % ratio if ratio else "n/a", "%.1fMB" % peak_mb,
                         "%.1fMB" % limit_mb, B.verdict(ok)))
        if not missing:
            all_ok &= thread_check(args, warm, scratch)
    if chain_samples:
        print("chain floor (one spin chain): median %s of %d samples taken during the run"
              % (fmt_ms(B.median(chain_samples)), len(chain_samples)))
    print("ratio: median / chain floor for 10KB, / (chain + bulk) otherwise (target <= 1.3 x);"
          " peak: memory the call added (median; max = 2.2 x input + 32 MB)")
    if not B.floor_command():
        print("* bulk floor measured in Python (no bench_floor)")
    if missing:
        return 2
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
