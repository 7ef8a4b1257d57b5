#!/usr/bin/env python3
"""Thousands of small workbooks through the `cellvault` command.

    python3 bench/bench_batch.py [--files 1000] [--runs 3] [--jobs CORES]
                                 [--work-dir build/bench-batch]

Every run encrypts --files workbooks of about 10 KB into an empty
directory (`cellvault encrypt -q --jobs N --password-env ... -o DIR`, the
durable commit included) and is timed whole. The configurations take turns,
--runs rounds, and each figure is the median of its runs:

  lanes     the kernel the command picks here, --jobs CORES and --jobs 1
  avx2      the same with CELLVAULT_SHA512_KERNEL=avx2 forced
  portable  one chain at a time (CELLVAULT_SHA512_KERNEL=portable): what
            the command did before the lanes, for reference
  per-file  the picked kernel with CELLVAULT_GROUP_COMMIT=off: every output
            flushes its own directory
  no-sync   the picked kernel with fsync made a no-op (LD_PRELOAD of
            bench_nosync.so): the commit's share of a batch is the time
            above this one

The ceiling is what scalar key derivation allows: jobs divided by the time
of one spin chain through SHA512_Transform (`bench_floor chain`, timed
between the runs). Targets: at least 3x the ceiling with --jobs CORES and
the picked kernel, at least 1.6x with AVX2 forced. Needs the C++ benchmarks
built (CELLVAULT_BENCH_DIR, default build/test/bench) and the `cellvault`
command installed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import benchlib as B

TARGET_LANES = 3.0
TARGET_AVX2 = 1.6
SEEDS = 8  # distinct workbooks, copied to make up the batch
PASSWORD_VARIABLE = "CELLVAULT_BENCH_PASSWORD"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=3, help="rounds of all configurations")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="the --jobs of the parallel runs (default: the cores)")
    parser.add_argument("--work-dir", default=str(B.ROOT / "build" / "bench-batch"),
                        help="inputs and outputs; a real disk, not tmpfs, for the commit's cost")
    return parser.parse_args()


def make_inputs(work, count):
    """|count| workbooks of about 10 KB in work/in, made from SEEDS distinct
    ones; returns their paths."""
    cache = work / "cache"
    sources = [B.workbook(cache, "10KB", seed) for seed in range(SEEDS)]
    inputs = work / "in"
    inputs.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(count):
        path = inputs / ("book%04d.xlsx" % i)
        if not path.exists():
            shutil.copyfile(sources[i % SEEDS], path)
        paths.append(str(path))
    return paths


def floor_tool(mode, env=None):
    command = B.floor_command()
    out = subprocess.run([str(command), mode], capture_output=True, text=True, check=True,
                         env=env)
    return out.stdout.split()


def chain_seconds():
    """(wall, processor) seconds of one scalar spin chain."""
    words = floor_tool("chain")
    return float(words[-1]), float(words[3])


def run_timed(argv, env):
    """Runs |argv|; returns (wall seconds, processor seconds of all its
    threads)."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    errors = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    child.stderr.close()
    if child.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], child.returncode,
                                                   errors.decode("utf-8", "replace")))
    return seconds, usage.ru_utime + usage.ru_stime


def kernel_in_use(env):
    name, lanes = floor_tool("kernel", env)
    return "%s (%s lanes)" % (name, lanes)


def main():
    args = parse_args()
    cli = B.find_command("cellvault")
    if cli is None:
        sys.exit("bench_batch: the cellvault command is not installed (pip install .)")
    if B.floor_command() is None:
        sys.exit("bench_batch: bench_floor is not built in %s (set CELLVAULT_BENCH_DIR)"
                 % B.bench_dir())
    nosync = B.bench_dir() / "bench_nosync.so"
    work = Path(args.work_dir)
    inputs = make_inputs(work, args.files)
    base = dict(os.environ, **{PASSWORD_VARIABLE: B.PASSWORD})
    base.pop("CELLVAULT_SHA512_KERNEL", None)
    base.pop("CELLVAULT_GROUP_COMMIT", None)
    cores = args.jobs
    configs = {
        "lanes -j%d" % cores: (cores, {}),
        "lanes -j1": (1, {}),
        "avx2 -j%d" % cores: (cores, {"CELLVAULT_SHA512_KERNEL": "avx2"}),
        "avx2 -j1": (1, {"CELLVAULT_SHA512_KERNEL": "avx2"}),
        "portable -j%d" % cores: (cores, {"CELLVAULT_SHA512_KERNEL": "portable"}),
        "per-file -j%d" % cores: (cores, {"CELLVAULT_GROUP_COMMIT": "off"}),
    }
    if nosync.exists():
        configs["no-sync -j%d" % cores] = (cores, {"LD_PRELOAD": str(nosync)})
    else:
        print("no-sync skipped: %s is not built" % nosync)
    kernels = {}
    for name, (_, extra) in configs.items():
        try:
            kernels[name] = kernel_in_use(dict(base, **extra))
        except subprocess.CalledProcessError as e:
            print("%s skipped: %s" % (name, e.stderr.strip()))
    configs = {name: c for name, c in configs.items() if name in kernels}

    print(B.machine_load(), "(before)")
    times = {name: [] for name in configs}
    cpus = {name: [] for name in configs}
    chains = [chain_seconds()]
    for _ in range(args.runs):
        for name, (jobs, extra) in configs.items():
            out = work / "out"
            shutil.rmtree(out, ignore_errors=True)
            out.mkdir()
            argv = [cli, "encrypt", "-q", "--jobs", str(jobs), "--password-env",
                    PASSWORD_VARIABLE, *inputs, "-o", str(out)]
            seconds, cpu = run_timed(argv, dict(base, **extra))
            if len(os.listdir(out)) != len(inputs):
                sys.exit("bench_batch: %s wrote %d of %d files" % (name, len(os.listdir(out)),
                                                                  len(inputs)))
            times[name].append(seconds)
            cpus[name].append(cpu)
            chains.append(chain_seconds())
    shutil.rmtree(work / "out", ignore_errors=True)
    load_after = B.machine_load()

    chain = B.median([wall for wall, _ in chains])
    chain_cpu = B.median([cpu for _, cpu in chains])
    print("%d workbooks of about 10 KB, %d runs each (medians); %s (after)"
          % (len(inputs), args.runs, load_after))
    print("scalar chain (bench_floor chain, median of %d): %.2f ms (%.2f ms of processor "
          "time); ceiling %.1f files/s on %d jobs, %.1f on 1"
          % (len(chains), chain * 1e3, chain_cpu * 1e3, cores / chain, cores, 1 / chain))
    # "per core" divides processor time by processor time: less swayed by
    # other work on the machine than the wall-clock ratio, which is the target.
    print("%-14s %-22s %9s %9s %9s %12s %9s" % ("run", "kernel", "seconds", "files/s",
                                               "x ceiling", "cpu ms/file", "per core"))
    rate = {}
    for name, (jobs, _) in configs.items():
        seconds = B.median(times[name])
        cpu_per_file = B.median(cpus[name]) / len(inputs)
        rate[name] = len(inputs) / seconds
        print("%-14s %-22s %9.3f %9.1f %8.2fx %12.2f %8.2fx" % (
            name, kernels[name], seconds, rate[name], rate[name] / (jobs / chain),
            cpu_per_file * 1e3, chain_cpu / cpu_per_file))
    lanes, avx2 = "lanes -j%d" % cores, "avx2 -j%d" % cores
    print("target >= %.1fx the ceiling with --jobs %d: %.2fx %s" % (
        TARGET_LANES, cores, rate[lanes] * chain / cores,
        B.verdict(rate[lanes] * chain / cores >= TARGET_LANES)))
    if avx2 in rate:
        print("target >= %.1fx the ceiling with AVX2 forced: %.2fx %s" % (
            TARGET_AVX2, rate[avx2] * chain / cores,
            B.verdict(rate[avx2] * chain / cores >= TARGET_AVX2)))
    nosync_name = "no-sync -j%d" % cores
    if nosync_name in rate:
        bare = B.median(times[nosync_name])
        for name, label in ((lanes, "group commit"), ("per-file -j%d" % cores, "per-file commit")):
            whole = B.median(times[name])
            print("durable commit, %s: %.3f s of %.3f s = %.0f%% of the batch (%.2f ms a file)"
                  % (label, whole - bare, whole, 100 * (whole - bare) / whole,
                     (whole - bare) * 1e3 * cores / len(inputs)))


if __name__ == "__main__":
    main()
