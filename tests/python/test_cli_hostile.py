"""The `cellvault` command against hostile and odd input: batch outputs that
lead back onto inputs, file names that hold control characters, sources
that never deliver, core dumps while a password is in memory, lists of
files, and the checks made before any key derivation."""

from __future__ import annotations

import os
import resource
import signal
import subprocess
import time
from pathlib import Path

import pytest

from cli_helpers import PASSWORD, PtyProcess, cli_path, files_in, run, wait_until_open
from oracle import decrypt
from workbooks import make_package
from cli_helpers import password_file, workbook  # noqa: F401 (fixtures)

# The largest workbook that a version 3 container holds: its stream (an
# 8-byte size field and the workbook padded to 16-byte blocks) may not pass
# 2 GiB, so 2**31 - 8 rounded down to a multiple of 16.
MAX_V3_WORKBOOK = 2**31 - 16


def batch(password_file: Path, *args: str) -> list[str]:
    return ["encrypt", "--password-file", str(password_file), *args]


# -- outputs that are the batch's own files ----------------------------------

def link_to_input(d: Path) -> None:
    (d / "o" / "a.xlsx").symlink_to("../in/b.xlsx")


def hard_link_to_input(d: Path) -> None:
    os.link(d / "in" / "b.xlsx", d / "o" / "a.xlsx")


@pytest.mark.parametrize("prepare", [link_to_input, hard_link_to_input])
def test_output_that_is_another_input_is_refused_before_any_work(
        tmp_path: Path, password_file: Path, prepare) -> None:
    # The reported case: o/a.xlsx leads to in/b.xlsx, so writing it would
    # destroy b's plain text and then encrypt a's result a second time.
    (tmp_path / "in").mkdir()
    (tmp_path / "o").mkdir()
    plain_a = make_package(tmp_path / "in" / "a.xlsx", fill="a")
    plain_b = make_package(tmp_path / "in" / "b.xlsx", fill="b")
    prepare(tmp_path)
    done = run(batch(password_file, "--force", "in/a.xlsx", "in/b.xlsx", "-o", "o"),
               tmp_path)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert lines[0] == ("cellvault: cannot write o/a.xlsx for in/a.xlsx: "
                        "it is the same file as in/b.xlsx, another input")
    assert lines[1].startswith("cellvault: encrypted 1 of 2 files in ")
    assert (tmp_path / "in" / "a.xlsx").read_bytes() == plain_a
    assert (tmp_path / "in" / "b.xlsx").read_bytes() == plain_b
    assert decrypt(tmp_path / "o" / "b.xlsx", PASSWORD) == plain_b


@pytest.mark.parametrize("target_exists", [True, False])
def test_two_outputs_that_lead_to_one_file_are_refused(
        tmp_path: Path, password_file: Path, target_exists: bool) -> None:
    (tmp_path / "in").mkdir()
    (tmp_path / "o").mkdir()
    make_package(tmp_path / "in" / "a.xlsx", fill="a")
    plain_b = make_package(tmp_path / "in" / "b.xlsx", fill="b")
    if target_exists:
        (tmp_path / "t.xlsx").write_bytes(b"old")
    (tmp_path / "o" / "a.xlsx").symlink_to("../t.xlsx")
    (tmp_path / "o" / "b.xlsx").symlink_to("../t.xlsx")
    done = run(batch(password_file, "--force", "in/b.xlsx", "in/a.xlsx", "-o", "o"),
               tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cannot write o/a.xlsx for in/a.xlsx: "
        "it is the same file as o/b.xlsx, the output of in/b.xlsx")
    assert decrypt(tmp_path / "t.xlsx", PASSWORD) == plain_b


def test_batch_in_place_is_still_allowed(tmp_path: Path, password_file: Path) -> None:
    # Each output is its own input, read whole before it is replaced.
    plains = {n: make_package(tmp_path / n, fill=n) for n in ("a.xlsx", "b.xlsx")}
    done = run(batch(password_file, "--force", "a.xlsx", "b.xlsx", "-o", "."), tmp_path)
    assert done.returncode == 0, done.stderr
    for name, plain in plains.items():
        assert decrypt(tmp_path / name, PASSWORD) == plain


# -- file names that hold control characters ---------------------------------

FORGED = "\x1b[31mRED\x1b[0m\nfake: encrypted 1 file.xlsx"
FORGED_SHOWN = "$'\\x1b[31mRED\\x1b[0m\\nfake: encrypted 1 file.xlsx'"


@pytest.mark.parametrize("name, shown", [
    (FORGED, FORGED_SHOWN),
    ("tab\there's.xlsx", "$'tab\\there\\'s.xlsx'"),
    ("back\\slash\r.xlsx", "$'back\\\\slash\\r.xlsx'"),
    # A C1 control (CSI) and a byte that is not UTF-8 drive some terminals
    # too; inside the quotes every byte above 0x7f is written as \xHH.
    ("csi\u009b2J-\u00e9.xlsx", "$'csi\\xc2\\x9b2J-\\xc3\\xa9.xlsx'"),
    (os.fsdecode(b"raw\xff.xlsx"), "$'raw\\xff.xlsx'"),
    # Names without control characters are shown as they are.
    ("caf\u00e9 'q'.xlsx", "caf\u00e9 'q'.xlsx"),
])
def test_names_with_control_characters_are_quoted(
        tmp_path: Path, password_file: Path, name: str, shown: str) -> None:
    (tmp_path / "o").mkdir()
    done = run(batch(password_file, name, "-o", "o"), tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        f"cellvault: cannot read {shown}: No such file or directory",
        done.stderr.splitlines()[1],
    ]


def test_every_message_quotes_names(tmp_path: Path, password_file: Path) -> None:
    # An existing output, a refused duplicate, a password file and a
    # variable, each with a newline in its name: one line each.
    odd = tmp_path / "o\nd"
    odd.mkdir()
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    make_package(tmp_path / "a" / "x\n.xlsx", fill="a")
    make_package(tmp_path / "b" / "x\n.xlsx", fill="b")
    (odd / "x\n.xlsx").write_bytes(b"keep")
    done = run(batch(password_file, "a/x\n.xlsx", "b/x\n.xlsx", "-o", "o\nd"), tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines()[:2] == [
        "cellvault: cannot write $'o\\nd/x\\n.xlsx': it already exists "
        "(use --force to replace it)",
        "cellvault: cannot write $'o\\nd/x\\n.xlsx' for $'b/x\\n.xlsx': "
        "it is already the output of $'a/x\\n.xlsx'",
    ]
    assert len(done.stderr.splitlines()) == 3
    done = run(["encrypt", "--password-file", "no\npw", "a", "b"], tmp_path)
    assert done.stderr == ("cellvault: cannot read password file $'no\\npw': "
                           "No such file or directory\n")
    done = run(["encrypt", "--password-env", "NO\nVAR", "a", "b"], tmp_path)
    assert done.stderr == "cellvault: environment variable $'NO\\nVAR' is not set\n"
    done = run(["encrypt", "-j", "1\n2", "a", "b"], tmp_path)
    assert done.stderr.splitlines()[0] == (
        "cellvault: --jobs needs a whole number from 1 to 1024, not $'1\\n2'")


# -- sources that never deliver ----------------------------------------------

def encrypt_from_fifo(fifo: Path, password_file: Path, **popen) -> subprocess.Popen:
    """Makes the FIFO |fifo| and starts the command with it as the input of
    out.xlsx beside it; the command then waits for a writer."""
    os.mkfifo(fifo)
    return subprocess.Popen([cli_path(), *batch(password_file, str(fifo), "out.xlsx")],
                            cwd=fifo.parent, stdin=subprocess.DEVNULL,
                            start_new_session=True, **popen)


def test_ctrl_c_stops_a_wait_for_a_fifo_without_writer(
        tmp_path: Path, password_file: Path) -> None:
    fifo = tmp_path / "in.xlsx"
    proc = encrypt_from_fifo(fifo, password_file, stderr=subprocess.PIPE)
    try:
        wait_until_open(proc.pid, fifo)
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)  # once: the first Ctrl-C
        _, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == -signal.SIGINT
    assert err.decode().splitlines()[:2] == [
        f"cellvault: cannot read {fifo}: interrupted while waiting for input",
        "cellvault: interrupted; the files in progress were finished",
    ]
    assert files_in(tmp_path) == ["in.xlsx", "password.txt"]


def test_a_fifo_source_with_a_slow_writer_is_read_whole(
        tmp_path: Path, workbook: tuple[Path, bytes], password_file: Path) -> None:
    src, plain = workbook
    fifo = tmp_path / "pipe.xlsx"
    proc = encrypt_from_fifo(fifo, password_file, stderr=subprocess.PIPE)
    try:
        time.sleep(0.3)  # the writer comes late, and delivers in pieces
        with open(fifo, "wb", buffering=0) as w:
            for i in range(0, len(plain), 1000):
                w.write(plain[i:i + 1000])
                time.sleep(0.01)
        _, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert decrypt(tmp_path / "out.xlsx", PASSWORD) == plain


# -- core dumps ----------------------------------------------------------------

def unlimited_cores() -> None:
    resource.setrlimit(resource.RLIMIT_CORE,
                       (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def cores_in(directory: Path) -> list[str]:
    return [name for name in files_in(directory) if name.startswith("core")]


@pytest.fixture
def cores_are_written(tmp_path: Path) -> None:
    """Skips unless a process killed by SIGQUIT leaves a core file in its
    working directory here (core_pattern and the hard limit allow it)."""
    probe = tmp_path / "probe"
    probe.mkdir()
    try:
        sleeper = subprocess.Popen(["sleep", "30"], cwd=probe, preexec_fn=unlimited_cores)
    except (OSError, ValueError) as e:
        pytest.skip(f"cannot allow core dumps: {e}")
    time.sleep(0.2)
    sleeper.send_signal(signal.SIGQUIT)
    sleeper.wait()
    found = cores_in(probe)
    for name in found:
        (probe / name).unlink()
    probe.rmdir()
    if not found:
        pattern = Path("/proc/sys/kernel/core_pattern").read_text().strip()
        pytest.skip(f"this machine writes no core files here (core_pattern {pattern!r})")


def test_sigquit_while_waiting_for_input_dumps_no_core(
        tmp_path: Path, password_file: Path, cores_are_written: None) -> None:
    fifo = tmp_path / "in.xlsx"
    proc = encrypt_from_fifo(fifo, password_file, stderr=subprocess.DEVNULL,
                             preexec_fn=unlimited_cores)
    try:
        wait_until_open(proc.pid, fifo)
        proc.send_signal(signal.SIGQUIT)
        proc.wait(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == -signal.SIGQUIT
    assert cores_in(tmp_path) == []


def test_sigquit_at_the_prompt_dumps_no_core(
        tmp_path: Path, workbook: tuple[Path, bytes], cores_are_written: None) -> None:
    src, _ = workbook
    proc = PtyProcess(["encrypt", str(src), "out.xlsx"], tmp_path,
                      before_exec=unlimited_cores)
    try:
        proc.expect(b"Password: ")
        proc.send(PASSWORD.encode() + b"\n")
        proc.expect(b"Repeat password: ")
        os.kill(proc.pid, signal.SIGQUIT)
        assert proc.wait() == -signal.SIGQUIT
    finally:
        proc.close()
    assert cores_in(tmp_path) == []


# -- checks before any key derivation ----------------------------------------

@pytest.mark.parametrize("prepare, shown", [
    (lambda d: None, "cannot write into nodir: No such file or directory"),
    (lambda d: (d / "nodir").write_bytes(b""), "cannot write into nodir: Not a directory"),
])
def test_unusable_output_dir_is_one_error_before_the_password(
        tmp_path: Path, prepare, shown: str) -> None:
    prepare(tmp_path)
    names = [f"b{i}.xlsx" for i in range(200)]
    for name in names:
        (tmp_path / name).write_bytes(b"x")
    before = files_in(tmp_path)
    # No password source and no terminal: the prompt would fail, so the
    # directory is checked first.
    done = run(["encrypt", *names, "-o", "nodir"], tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"cellvault: {shown}\n"
    assert files_in(tmp_path) == before


def address_space(limit: int):
    def set_limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return set_limit


@pytest.mark.parametrize("size, version, message", [
    # One byte too many: refused from its size, never read.
    (MAX_V3_WORKBOOK + 1, [], "cannot encrypt big.xlsx: it is larger than the "
     f"{MAX_V3_WORKBOOK} bytes that a version 3 container holds "
     "(use --container-version 4)"),
    # The largest that fits, and anything for version 4, gets past the size
    # check (it would be streamed in little memory): the output, in a
    # missing directory, is what fails then.
    (MAX_V3_WORKBOOK, [], "cannot write nodir/out.xlsx: No such file or directory"),
    (MAX_V3_WORKBOOK + 1, ["--container-version", "4"],
     "cannot write nodir/out.xlsx: No such file or directory"),
])
def test_version_3_refuses_a_source_over_its_limit_before_reading(
        tmp_path: Path, password_file: Path, size: int, version: list[str],
        message: str) -> None:
    with open(tmp_path / "big.xlsx", "wb") as f:
        f.truncate(size)  # sparse: no disk space used
    done = run(batch(password_file, *version, "big.xlsx", "nodir/out.xlsx"), tmp_path,
               before_exec=address_space(1 << 30))
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == f"cellvault: {message}"
    assert not (tmp_path / "out.xlsx").exists()


# -- password sources ----------------------------------------------------------

BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize("content, env", [
    (BOM + b"pw\r\n", None),   # saved by a Windows editor
    (BOM + b"pw", None),
    (None, "pw\n"),            # a variable's trailing newline goes, as a file's
    (None, "pw\r\n"),
])
def test_byte_order_mark_and_trailing_newline_are_dropped(
        tmp_path: Path, workbook: tuple[Path, bytes], content: bytes | None,
        env: str | None) -> None:
    src, plain = workbook
    if content is not None:
        pw = tmp_path / "pw"
        pw.write_bytes(content)
        pw.chmod(0o600)
        args = ["--password-file", "pw"]
    else:
        args = ["--password-env", "PW"]
    done = run(["encrypt", *args, str(src), "out.xlsx"], tmp_path, env={"PW": env or ""})
    assert done.returncode == 0, done.stderr
    assert decrypt(tmp_path / "out.xlsx", "pw") == plain


@pytest.mark.parametrize("mode, warned", [(0o644, True), (0o640, True), (0o604, True),
                                          (0o600, False), (0o400, False)])
def test_password_file_readable_by_others_is_warned_about(
        tmp_path: Path, workbook: tuple[Path, bytes], mode: int, warned: bool) -> None:
    src, plain = workbook
    pw = tmp_path / "pw"
    pw.write_bytes(b"pw\n")
    pw.chmod(mode)
    done = run(["encrypt", "--password-file", "pw", str(src), "out.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    warning = (f"cellvault: warning: password file pw may be read by its group or "
               f"by others (mode {mode:04o}); chmod 600 it")
    assert (warning in done.stderr.splitlines()) == warned, done.stderr
    assert decrypt(tmp_path / "out.xlsx", "pw") == plain


# -- lists of files ------------------------------------------------------------

@pytest.fixture
def books(tmp_path: Path) -> dict[str, bytes]:
    (tmp_path / "out").mkdir()
    return {name: make_package(tmp_path / name, fill=name)
            for name in ("a.xlsx", "b b.xlsx", "c\n.xlsx")}


def check_outputs(tmp_path: Path, plains: dict[str, bytes]) -> None:
    assert files_in(tmp_path / "out") == sorted(plains)
    for name, plain in plains.items():
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plain


@pytest.mark.parametrize("listing, stdin", [
    # One name a line; empty lines are skipped and a CR before the line
    # feed is dropped, so lists written with CR LF work.
    (b"a.xlsx\n\nb b.xlsx\r\n", False),
    (b"a.xlsx\nb b.xlsx", True),
])
def test_files_from_a_list_of_lines(tmp_path: Path, password_file: Path,
                                    books: dict[str, bytes], listing: bytes,
                                    stdin: bool) -> None:
    (tmp_path / "list").write_bytes(listing)
    done = run(batch(password_file, "--files-from", "-" if stdin else "list", "-o", "out"),
               tmp_path, stdin=listing if stdin else b"")
    assert done.returncode == 0, done.stderr
    check_outputs(tmp_path, {n: books[n] for n in ("a.xlsx", "b b.xlsx")})


def test_files_from_a_nul_separated_list_with_arguments(
        tmp_path: Path, password_file: Path, books: dict[str, bytes]) -> None:
    # NUL-separated names may hold newlines; names given as arguments come
    # first.
    (tmp_path / "list").write_bytes(b"c\n.xlsx\0\0b b.xlsx\0")
    done = run(batch(password_file, "a.xlsx", "--files-from", "list", "--null",
                     "-o", "out"), tmp_path)
    assert done.returncode == 0, done.stderr
    check_outputs(tmp_path, books)


@pytest.mark.parametrize("listing, message", [
    (None, "cannot read the list of files list: No such file or directory"),
    (b"\n\r\n", "no INPUT file given"),
    (b"a.xlsx\0b.xlsx\n", "the list of files list holds a NUL byte (use --null)"),
])
def test_files_from_errors_exit_2(tmp_path: Path, password_file: Path,
                                  listing: bytes | None, message: str) -> None:
    if listing is not None:
        (tmp_path / "list").write_bytes(listing)
    (tmp_path / "out").mkdir()
    done = run(batch(password_file, "--files-from", "list", "-o", "out"), tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"cellvault: {message}\n"
    assert files_in(tmp_path / "out") == []
