#!/usr/bin/env python3
"""cellvault against msoffcrypto-tool's OOXML encryption, on the same workbooks.

    python3 bench/bench_peer.py [--runs 5] [--sizes 10KB,1MB,50MB]
                                [--chart docs/peer-benchmark.png | --no-chart]

Two comparisons, each measured alternately (cellvault, peer, cellvault, ...)
in one run so that machine noise hits both sides alike:

  in the call   cellvault.encrypt_excelfile against msoffcrypto-tool's
                OOXMLFile.encrypt: median time of a warm call and the resident
                memory the call added (each call in a fresh child, see benchlib)
  whole command `cellvault encrypt IN OUT --password-env NAME` (container
                version 3, its default) against `msoffcrypto-tool -e -p PASS
                IN OUT`: median wall time and peak resident size of the process

Targets: inside the call cellvault >= 3 x faster on 10 KB and >= 5 x on
50 MB, with at most half the peer's peak memory; the whole command >= 5 x
faster on 50 MB. (msoffice-crypt, the other peer command worth comparing,
is not packaged for this system, so it is not measured.) The chart for the
README goes to --chart.
Needs bench/requirements.txt. Without the cellvault module or command the
peer side still runs and the script says what is missing.
"""

import argparse
import os
import sys
import tempfile
from pathlib import Path

import benchlib as B

PEER = "msoffcrypto-tool"
TARGET_SPEED = {"10KB": 3.0, "50MB": 5.0}
TARGET_COMMAND_SPEED = {"50MB": 5.0}
TARGET_MEMORY = 0.5
# Below this, memory figures are page-granular noise and get no verdict.
MEMORY_NOISE_MB = 0.5


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="alternating pairs per size")
    parser.add_argument("--sizes", default=",".join(B.SIZES))
    parser.add_argument("--out-dir", default=str(B.ROOT / "bench" / "out"))
    parser.add_argument("--chart", default=str(B.ROOT / "docs" / "peer-benchmark.png"))
    parser.add_argument("--no-chart", action="store_true")
    return B.parse_args(parser)


def alternate(runs, measures):
    """Calls each measure in turn, `runs` rounds; returns {name: [results]}."""
    results = {name: [] for name in measures}
    for _ in range(runs):
        for name, measure in measures.items():
            results[name].append(measure())
    return results


def summarize(samples, time_key, mem_key):
    memory = [s[mem_key] for s in samples if s[mem_key] is not None]
    return {"seconds": B.median([s[time_key] for s in samples]),
            "mb": B.median(memory) / 1024 if memory else None}


def in_call(args, books, warm, have_module, scratch):
    """Median warm call time and added memory of each side, per size."""
    table = {}
    for label, path in books.items():
        measures = {"peer": lambda p=path: B.measure_call("peer", p, warm, scratch)}
        if have_module:
            measures["cellvault"] = lambda p=path: B.measure_call("cellvault", p, warm, scratch)
        samples = alternate(args.runs, measures)
        table[label] = {n: summarize(s, "seconds", "added_kb") for n, s in samples.items()}
    return table


def whole_command(args, books, cli, scratch):
    peer_cli = B.find_command(PEER)
    env = dict(os.environ, CELLVAULT_BENCH_PASSWORD=B.PASSWORD)
    out_cv, out_peer = Path(scratch) / "cli-cv.xlsx", Path(scratch) / "cli-peer.xlsx"

    def run_cellvault(path):
        secs, kb = B.run_process([cli, "encrypt", "-f", "-q", "--password-env",
                                  "CELLVAULT_BENCH_PASSWORD", str(path), str(out_cv)], env=env)
        return {"seconds": secs, "kb": kb}

    def run_peer(path):
        secs, kb = B.run_process([peer_cli, "-e", "-p", B.PASSWORD, str(path), str(out_peer)])
        return {"seconds": secs, "kb": kb}

    table = {}
    for label, path in books.items():
        measures = {"peer": lambda p=path: run_peer(p)}
        if cli:
            measures["cellvault"] = lambda p=path: run_cellvault(p)
        samples = alternate(args.runs, measures)
        table[label] = {n: summarize(s, "seconds", "kb") for n, s in samples.items()}
    return table


def fmt_mb(mb):
    return "n/a" if mb is None else "%.1fMB" % mb


def report(title, table, memory_title, speed_targets, memory_target):
    """Prints one comparison; returns False if a stated target was missed.
    |speed_targets| maps sizes to the least speed-up; |memory_target| is
    the most memory ratio, or None for no memory target."""
    print("\n" + title)
    row = "%-5s %12s %12s %8s %12s %12s %8s  %s"
    print(row % ("size", "cellvault", PEER, "speed", "cv " + memory_title, "peer", "memory",
                 "verdict"))
    all_ok = True
    for label, sides in table.items():
        peer = sides["peer"]
        cv = sides.get("cellvault")
        if cv is None:
            print(row % (label, "-", "%.1fms" % (peer["seconds"] * 1e3), "-", "-",
                         fmt_mb(peer["mb"]), "-", "cellvault not run"))
            continue
        speed = peer["seconds"] / cv["seconds"]
        memory = None
        if cv["mb"] is not None and peer["mb"] and max(cv["mb"], peer["mb"]) >= MEMORY_NOISE_MB:
            memory = cv["mb"] / peer["mb"]
        verdicts = []
        if label in speed_targets:
            verdicts.append("speed %s (>= %gx)" % (B.verdict(speed >= speed_targets[label]),
                                                   speed_targets[label]))
            all_ok &= speed >= speed_targets[label]
        if memory_target is not None and memory is not None:
            verdicts.append("memory %s (<= %gx)" % (B.verdict(memory <= memory_target),
                                                    memory_target))
            all_ok &= memory <= memory_target
        print(row % (label, "%.1fms" % (cv["seconds"] * 1e3),
                     "%.1fms" % (peer["seconds"] * 1e3), "%.2fx" % speed,
                     fmt_mb(cv["mb"]), fmt_mb(peer["mb"]),
                     "n/a" if memory is None else "%.2fx" % memory,
                     ", ".join(verdicts)))
    return all_ok


def main():
    args = parse_args()
    warm = B.workbook(args.out_dir, "10KB")
    books = {label: B.workbook(args.out_dir, label) for label in args.sizes}
    missing = B.cellvault_import_error()
    cli = B.find_command("cellvault")
    print(B.machine_load())
    print("kernel: %s; AES kernel: %s" % (os.uname().release, B.bulk_kernel()))
    if missing:
        print("cellvault module cannot be imported (%s): `pip install .` first;"
              " measuring %s alone." % (missing, PEER))
    else:
        print("cellvault module: %s" % B.cellvault_origin())
    if not cli:
        print("cellvault command not found: measuring %s's command alone." % PEER)
    else:
        print("cellvault command: %s" % cli)

    with tempfile.TemporaryDirectory() as scratch:
        calls = in_call(args, books, warm, not missing, scratch)
        commands = whole_command(args, books, cli, scratch)
    ok = report("Inside the call (median of %d; memory the call added)" % args.runs,
                calls, "mem", TARGET_SPEED, TARGET_MEMORY)
    ok &= report("Whole command (median of %d; peak resident size of the process)" % args.runs,
                 commands, "peak", TARGET_COMMAND_SPEED, None)
    print("\nspeed = %s time / cellvault time; memory = cellvault / %s" % (PEER, PEER))

    if not args.no_chart:
        from peer_chart import draw
        draw(calls, commands, args.runs, args.chart)
        print("chart written to %s" % args.chart)
    if missing or not cli:
        return 2
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
