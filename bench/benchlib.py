"""Shared pieces of the Python benchmarks: inputs, measured children, floors.

Every timed call runs in a fresh child interpreter that first makes one
warm-up call on a small workbook (so imports, lazy library set-up and first
page faults are not timed), then resets its resident high-water mark
(/proc/self/clear_refs), notes its resident size, times the measured call
and reads the high-water mark again. The difference is what the call itself
added, C allocations included (tracemalloc would see only Python's). Where
the reset is refused, the baseline is the peak after the warm-up call
(getrusage maxrss), which hides growth below the imports' own peak.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from workbooks import make_sized_workbook  # noqa: E402

SIZES = {"10KB": 10_000, "1MB": 1_000_000, "50MB": 50_000_000}
PASSWORD = "bench pässword"
MB = 1024 * 1024

# The child: argv = impl, source, destination, warm-up source, password.
# "copy" holds the whole source in memory and writes it out: a call of
# known footprint (about one input size) that checks the measurement.
CHILD = r"""
import json, resource, sys, time
impl, src, dst, warm, password = sys.argv[1:6]
if impl == "copy":
    def call(s, d):
        with open(s, "rb") as f:
            data = f.read()
        with open(d, "wb") as out:
            out.write(data)
elif impl == "cellvault":
    import cellvault
    def call(s, d):
        cellvault.encrypt_excelfile(s, d, password)
else:
    import msoffcrypto.format.ooxml
    def call(s, d):
        with open(s, "rb") as f, open(d, "wb") as out:
            msoffcrypto.format.ooxml.OOXMLFile(f).encrypt(password, out)
def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
call(warm, dst)
try:
    # Reset the high-water mark to the current size, so that a call that
    # stays below what the imports once reached still shows its growth.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base, peak_of = status_kb("VmRSS"), lambda: status_kb("VmHWM")
except OSError:
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    peak_of = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
call(src, dst)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "added_kb": peak_of() - base}))
"""


def parse_args(parser, known=None):
    """Parses the command line and checks --sizes against |known| (the
    labels of SIZES by default)."""
    known = list(SIZES) if known is None else known
    args = parser.parse_args()
    args.sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    unknown = [s for s in args.sizes if s not in known]
    if unknown:
        parser.error("unknown size %s" % ", ".join(unknown))
    return args


def cellvault_import_error():
    """Returns None if `import cellvault` works in a child, else the reason."""
    probe = subprocess.run([sys.executable, "-c", "import cellvault; cellvault.encrypt_excelfile"],
                           capture_output=True, text=True, cwd=tempfile.gettempdir())
    if probe.returncode == 0:
        return None
    lines = probe.stderr.strip().splitlines()
    return lines[-1] if lines else "exit status %d" % probe.returncode


def cellvault_origin():
    """Where the imported module comes from, to tell builds apart in output."""
    probe = subprocess.run([sys.executable, "-c", "import cellvault; print(cellvault.__file__)"],
                           capture_output=True, text=True, cwd=tempfile.gettempdir())
    return probe.stdout.strip() or "?"


def workbook(out_dir, label, seed=0):
    """Returns the path of the generated workbook for a SIZES label, making
    it on first use (same seed, same bytes; 50 MB takes about 20 s)."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / ("workbook-%s-seed%d.xlsx" % (label, seed))
    if not path.exists():
        partial = path.with_suffix(".partial")
        print("generating the %s workbook (seed %d) ..." % (label, seed),
              file=sys.stderr, flush=True)
        make_sized_workbook(partial, SIZES[label], seed=seed)
        partial.rename(path)
    return path


def measure_call(impl, src, warm, scratch):
    """Runs one encryption call of `impl` ("cellvault", "peer" or "copy") in
    a fresh child; returns {"seconds", "added_kb"}."""
    dst = Path(scratch) / ("out-%s.xlsx" % impl)
    done = subprocess.run([sys.executable, "-c", CHILD, impl, str(src), str(dst),
                           str(warm), PASSWORD],
                          capture_output=True, text=True, cwd=scratch)
    if done.returncode != 0:
        raise RuntimeError("%s child failed:\n%s" % (impl, done.stderr.strip()))
    return json.loads(done.stdout.strip().splitlines()[-1])


GNU_TIME = "/usr/bin/time"


def run_process(argv, env=None, cwd=None):
    """Runs a whole command; returns (wall seconds, peak resident KB or None).

    The peak comes from GNU time (Debian package `time`), which forks the
    command from its own small process: a child forked straight from this
    interpreter would count this interpreter's pages in its peak. Without
    GNU time the peak is None."""
    with tempfile.NamedTemporaryFile("r", suffix=".maxrss") as report:
        wrapped = argv
        if os.access(GNU_TIME, os.X_OK):
            wrapped = [GNU_TIME, "-q", "-f", "%M", "-o", report.name, *argv]
        start = time.perf_counter()
        done = subprocess.run(wrapped, env=env, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (argv[0], done.returncode,
                                                       done.stderr.decode("utf-8", "replace")))
        text = report.read().strip()
    return seconds, int(text.splitlines()[-1]) if wrapped is not argv and text else None


def find_command(name):
    """The environment's own scripts folder first, then PATH."""
    candidate = Path(sysconfig.get_path("scripts")) / name
    if candidate.is_file() and os.access(candidate, os.X_OK):
        return str(candidate)
    return shutil.which(name)


def machine_load():
    """A line on the machine's state, since other work skews every figure."""
    one, five, _ = os.getloadavg()
    return "machine: %d cores, load average %.2f (1 min) %.2f (5 min)" % (
        os.cpu_count() or 0, one, five)


def median(values):
    return statistics.median(values)


def bench_dir():
    return Path(os.environ.get("CELLVAULT_BENCH_DIR", ROOT / "build" / "test" / "bench"))


def floor_command():
    path = bench_dir() / "bench_floor"
    return path if os.access(path, os.X_OK) else None


def _floor(args, repeats=3):
    command = floor_command()
    values = []
    for _ in range(repeats):
        out = subprocess.run([str(command), *args], capture_output=True, text=True, check=True)
        values.append(float(out.stdout.split()[-1]))
    return median(values)


def chain_floor():
    """Seconds of one spin chain (100000 single-block SHA-512 compressions)
    from `bench_floor chain`; without it, the floor line that `bench_crypto`
    prints; None if neither program is built."""
    if floor_command():
        return _floor(["chain"])
    crypto = bench_dir() / "bench_crypto"
    if os.access(crypto, os.X_OK):
        out = subprocess.run([str(crypto), "5"], capture_output=True, text=True)
        for line in out.stdout.splitlines():
            if line.startswith("floor, 100000 SHA512_Transform:"):
                return float(line.split(":")[1].split()[0]) / 1e3
    return None


def bulk_floor(path):
    """Seconds of one AES-256-CBC pass, one SHA-512 pass and a plain copy
    over the file: `bench_floor bulk FILE`, or the same done through
    `cryptography`, hashlib and shutil (large single calls, so Python adds
    little) when the helper is missing. Returns (seconds, source)."""
    if floor_command():
        return _floor(["bulk", str(path)]), "bench_floor"
    return _python_bulk_floor(path), "python"


def bulk_kernel():
    """The AES kernel that `bench_floor bulk` uses (the one cellvault picks
    too, both honouring CELLVAULT_AES_KERNEL), or "n/a"."""
    command = floor_command()
    if not command:
        return "n/a"
    with tempfile.NamedTemporaryFile(suffix=".bin") as probe:
        probe.write(b"x" * 4096)
        probe.flush()
        out = subprocess.run([str(command), "bulk", probe.name], capture_output=True, text=True)
    words = out.stdout.split()
    return words[words.index("kernel") + 1] if "kernel" in words else "n/a"


def _python_bulk_floor(path, repeats=3):
    import hashlib
    import shutil
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    data = Path(path).read_bytes()
    data += b"\0" * (-len(data) % 16)
    key, iv = os.urandom(32), os.urandom(16)
    times = []
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(repeats):
            start = time.perf_counter()
            enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
            enc.update(data)
            enc.finalize()
            hashlib.sha512(data).digest()
            shutil.copyfile(path, Path(tmp) / "copy")
            times.append(time.perf_counter() - start)
    return median(times)


def verdict(ok):
    return "ok" if ok else "MISSED"
