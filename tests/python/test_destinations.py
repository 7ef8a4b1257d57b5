"""Destinations at the edges of atomic replacement, through the module and
the command line alike: failures after the rename, descriptors and other
files that are written in place, links that the kernel would not follow,
and what a killed process leaves behind. Failures of single system calls
are injected with the LD_PRELOAD library that scripts/test.sh builds."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from cli_helpers import PASSWORD, built_tool, run
from cli_helpers import password_file, workbook  # noqa: F401 (fixtures)
from oracle import decrypt

PREFIX = "called `Result::unwrap()` on an `Err` value: "
OLD = b"old destination bytes\n"

# One call of the module in a child process; a failure prints the
# exception's name and message and exits 3.
MODULE_CALL = textwrap.dedent("""
    import sys
    import cellvault
    try:
        cellvault.encrypt_excelfile(sys.argv[1], sys.argv[2], sys.argv[3])
    except BaseException as e:
        print(type(e).__name__, e.args[0])
        sys.exit(3)
""")


def faults(spec: str) -> dict[str, str]:
    """The environment that injects the faults |spec| into a child."""
    return {"LD_PRELOAD": built_tool("libcellvault_fault_inject.so"), "CELLVAULT_FAULTS": spec}


def call_module(src: Path, dst: str, env: dict[str, str] | None = None,
                password: str = PASSWORD, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", MODULE_CALL, str(src), dst, password],
                          env={**os.environ, **(env or {})}, capture_output=True, text=True,
                          timeout=120, check=False, **kwargs)


def encrypt_cli(password_file: Path, *args: str) -> list[str]:
    return ["encrypt", "--password-file", str(password_file), *args]


# -- the directory flush after the rename ------------------------------------

def test_failed_directory_flush_says_the_destination_was_replaced(
        tmp_path: Path, workbook, password_file: Path) -> None:
    src, plain = workbook
    out = tmp_path / "module.xlsx"
    out.write_bytes(OLD)
    done = call_module(src, str(out), faults("fsync-dir=5"))
    assert done.returncode == 3, done.stderr
    assert done.stdout == (
        f'PanicException {PREFIX}Custom {{ kind: Other, error: "{out} was replaced, '
        'but its directory could not be flushed to disk: Input/output error" }\n')
    assert decrypt(out, PASSWORD) == plain

    (tmp_path / "cli.xlsx").write_bytes(OLD)
    done = run(encrypt_cli(password_file, "--force", "report.xlsx", "cli.xlsx"), tmp_path,
               env=faults("fsync-dir=5"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cli.xlsx was replaced, but its directory could not be flushed to disk: "
        "Input/output error")
    assert decrypt(tmp_path / "cli.xlsx", PASSWORD) == plain
    assert sorted(os.listdir(tmp_path)) == ["cli.xlsx", "module.xlsx", "password.txt",
                                            "report.xlsx"]

