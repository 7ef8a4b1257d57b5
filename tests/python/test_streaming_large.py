"""A package past the signed 32-bit sizes, encrypted as it is read: it
round-trips through the reader (HMAC checked) and the call's memory stays
bounded. Compared by hashing, so the test holds no more than a chunk."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import built_tool

PASSWORD = "large \u00e9t\u00e9"
PACKAGE_LEN = 5 * 2**29 + 4097  # 2.5 GiB and a bit: a last segment not full
# The encrypted file with its tables, the decrypted one beside it (the
# reader writes a file, not a pipe), and some room for everything else.
ROOM_NEEDED = 2 * PACKAGE_LEN + 2**30
MEMORY_BOUND = 64 * 2**20
# Data at the start, at the edges of 2 GiB and 4 GiB (in offsets of the
# stream) and at the end; the rest is left sparse (zeros).
MARKS = [0, 2**31 - 3 * 2**20, 2**32 - 2**20, PACKAGE_LEN - 2**20]


def make_source(path: Path) -> str:
    with open(path, "wb") as f:
        for k, at in enumerate(MARKS):
            f.seek(at)
            f.write(hashlib.shake_256(bytes([k])).digest(2**20))
        f.truncate(PACKAGE_LEN)
    return hash_of(path)


def hash_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(2**22):
            digest.update(block)
    return digest.hexdigest()


@pytest.mark.large
@pytest.mark.skipif(os.environ.get("CELLVAULT_LARGE_TESTS") != "1",
                    reason="writes a file of 2.5 GiB; set CELLVAULT_LARGE_TESTS=1")
def test_a_package_past_4_gib_offsets_round_trips_in_bounded_memory(tmp_path: Path) -> None:
    free = shutil.disk_usage(tmp_path).free
    if free < ROOM_NEEDED:
        pytest.skip(f"needs {ROOM_NEEDED / 2**30:.1f} GiB free in {tmp_path}, "
                    f"only {free / 2**30:.1f} GiB there")
    reader = built_tool("cellvault_read")
    source, locked = tmp_path / "big.xlsx", tmp_path / "big.locked.xlsx"
    want = make_source(source)

    # In a fresh interpreter, so that the peak it reports is this call's.
    script = (
        "import resource, sys, cellvault\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "cellvault.encrypt_excelfile(sys.argv[1], sys.argv[2], sys.argv[3])\n"
        "after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "print((after - before) * 1024)\n"
    )
    done = subprocess.run([sys.executable, "-c", script, str(source), str(locked), PASSWORD],
                          capture_output=True, text=True, timeout=900, check=False)
    assert done.returncode == 0, done.stderr
    added = int(done.stdout)
    assert added <= MEMORY_BOUND, f"the call added {added / 2**20:.1f} MiB"
    source.unlink()

    # Read back by the reader (the HMAC checked), compared by hash.
    plain = tmp_path / "big.plain.xlsx"
    env = dict(os.environ, CELLVAULT_PASSWORD=PASSWORD)
    done = subprocess.run([reader, "decrypt", str(locked), str(plain)], env=env,
                          capture_output=True, text=True, timeout=900, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.split()[:4] == ["ok", "matches", str(PACKAGE_LEN), "v4"]
    locked.unlink()
    assert hash_of(plain) == want
