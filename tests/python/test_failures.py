"""Failures: each raises PanicException with the cause, and leaves the
destination exactly as it was (absent, or its old bytes) with no temporary
file beside it."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import cellvault
import oracle
from cli_helpers import wait_until_open

PREFIX = "called `Result::unwrap()` on an `Err` value: "
OLD = b"old destination bytes\n"


def panic_message(excinfo) -> str:
    exc = excinfo.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    (message,) = exc.args
    assert message.startswith(PREFIX), message
    return message


def listing(directory) -> list[str]:
    return sorted(os.listdir(directory))


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "source.xlsx"
    path.write_bytes(os.urandom(20000))
    return path


def test_missing_source_creates_no_destination(tmp_path):
    target = tmp_path / "out.xlsx"
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(str(tmp_path / "missing.xlsx"), str(target), "pw")
    assert "kind: NotFound" in panic_message(e)
    assert listing(tmp_path) == []


def test_source_is_a_directory(tmp_path):
    target = tmp_path / "out.xlsx"
    target.write_bytes(OLD)
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(str(tmp_path), str(target), "pw")
    assert "kind: IsADirectory" in panic_message(e)
    assert target.read_bytes() == OLD
    assert listing(tmp_path) == ["out.xlsx"]


def test_destination_directory_missing(tmp_path, source):
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(str(source), str(tmp_path / "no" / "out.xlsx"), "pw")
    assert "kind: NotFound" in panic_message(e)
    assert listing(tmp_path) == ["source.xlsx"]


def test_destination_is_a_directory(tmp_path, source):
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "keep").write_bytes(b"k")
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(str(source), str(tmp_path / "dir"), "pw")
    assert "kind: IsADirectory" in panic_message(e)
    assert listing(tmp_path) == ["dir", "source.xlsx"]
    assert listing(tmp_path / "dir") == ["keep"]


@pytest.mark.parametrize("which", ["from_path", "to_path"])
def test_nul_byte_in_a_path(tmp_path, source, which):
    paths = {"from_path": str(source), "to_path": str(tmp_path / "out.xlsx")}
    paths[which] += "\0x"
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(paths["from_path"], paths["to_path"], "pw")
    assert "file name contained an unexpected NUL byte" in panic_message(e)
    assert listing(tmp_path) == ["source.xlsx"]


@pytest.fixture
def read_only_dir(tmp_path):
    """A directory in which no file can be created, also for root (who
    ignores permission bits): the immutable attribute where we are root."""
    d = tmp_path / "ro"
    d.mkdir()
    (d / "out.xlsx").write_bytes(OLD)
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", str(d)], capture_output=True).returncode != 0:
            pytest.skip("cannot make a directory read-only for root here (chattr +i failed)")
        yield d
        subprocess.run(["chattr", "-i", str(d)], check=True)
    else:
        d.chmod(0o555)
        yield d
        d.chmod(0o755)


def test_read_only_destination_directory(read_only_dir, source):
    target = read_only_dir / "out.xlsx"
    with pytest.raises(BaseException) as e:
        cellvault.encrypt_excelfile(str(source), str(target), "pw")
    assert "kind: PermissionDenied" in panic_message(e)
    # No fall-back to writing the file in place.
    assert target.read_bytes() == OLD
    assert listing(read_only_dir) == ["out.xlsx"]


def run_with_file_size_limit(limit: int, src, dst) -> subprocess.CompletedProcess:
    """Runs one call in a child whose file size limit is |limit| bytes."""
    code = textwrap.dedent(f"""
        import resource, signal, sys
        import cellvault
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
        try:
            cellvault.encrypt_excelfile({str(src)!r}, {str(dst)!r}, "pw")
        except BaseException as e:
            print(type(e).__name__, e.args[0])
            sys.exit(3)
    """)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)


# A version 4 container of a 1 MiB package: 12288 bytes of header, FAT and
# directory, then the MiniFAT and the mini stream holding EncryptionInfo
# (16384 bytes so far), then the package from offset 20480 to the end.
PACKAGE_SIZE = 1 << 20
FINAL_SIZE = 4096 * (1 + 4 + (PACKAGE_SIZE + 8 + 4095) // 4096)


@pytest.mark.parametrize("limit", [
    pytest.param(14000, id="first-stream"),
    pytest.param(FINAL_SIZE // 2, id="middle-of-package"),
    pytest.param(FINAL_SIZE - 1, id="last-flush"),
])
def test_write_failure_leaves_destination_as_it_was(tmp_path, limit):
    src = tmp_path / "source.xlsx"
    src.write_bytes(os.urandom(PACKAGE_SIZE))
    dst = tmp_path / "out.xlsx"
    dst.write_bytes(OLD)
    result = run_with_file_size_limit(limit, src, dst)
    assert result.returncode == 3, result.stdout + result.stderr
    assert result.stdout.startswith("PanicException " + PREFIX)
    assert "kind: FileTooLarge" in result.stdout
    assert dst.read_bytes() == OLD
    assert listing(tmp_path) == ["out.xlsx", "source.xlsx"]
    # Without the limit the same call succeeds and fills exactly the size
    # the limits above were computed from.
    assert run_with_file_size_limit(1 << 40, src, dst).returncode == 0
    assert dst.stat().st_size == FINAL_SIZE


def test_same_path_for_source_and_destination(tmp_path):
    path = tmp_path / "book.xlsx"
    plain = os.urandom(30000)
    path.write_bytes(plain)
    # A failing call leaves the source intact ...
    result = run_with_file_size_limit(20000, path, path)
    assert result.returncode == 3, result.stdout + result.stderr
    assert path.read_bytes() == plain
    assert listing(tmp_path) == ["book.xlsx"]
    # ... and a successful one replaces it by its encrypted form.
    cellvault.encrypt_excelfile(str(path), str(path), "pw")
    assert oracle.decrypt(path, "pw") == plain
    assert listing(tmp_path) == ["book.xlsx"]


def test_existing_destination_keeps_its_mode_and_links(tmp_path, source):
    target = tmp_path / "target.xlsx"
    target.write_bytes(OLD)
    target.chmod(0o640)
    link = tmp_path / "link.xlsx"
    link.symlink_to("target.xlsx")
    cellvault.encrypt_excelfile(str(source), str(link), "pw")
    assert link.is_symlink() and os.readlink(link) == "target.xlsx"
    assert oracle.decrypt(target, "pw") == source.read_bytes()
    assert target.stat().st_mode & 0o777 == 0o640


def test_new_destination_mode_follows_the_umask(tmp_path, source):
    old = os.umask(0o027)
    try:
        cellvault.encrypt_excelfile(str(source), str(tmp_path / "new.xlsx"), "pw")
    finally:
        os.umask(old)
    assert (tmp_path / "new.xlsx").stat().st_mode & 0o777 == 0o640


def test_character_device_destination_is_written_in_place(source):
    cellvault.encrypt_excelfile(str(source), "/dev/null", "pw")
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")


# A call that waits for a FIFO with no writer: Ctrl-C (SIGINT) raises
# KeyboardInterrupt in the caller, nothing is written, and the module works
# as before afterwards.
FIFO_CALL = textwrap.dedent("""
    import os, sys
    import cellvault
    fifo, out, good = sys.argv[1:4]
    try:
        cellvault.encrypt_excelfile(fifo, out, "pw")
    except KeyboardInterrupt:
        print("KeyboardInterrupt", sorted(os.listdir(os.path.dirname(out))))
    cellvault.encrypt_excelfile(good, out, "pw")
    print("then encrypted")
""")


def interrupt_call(argv, ready):
    """Starts the module call of `argv` in a child interpreter, waits for
    `ready()` (given the child), sends it SIGINT and returns its output."""
    child = subprocess.Popen([sys.executable, "-c", *argv],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ready(child)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, stderr
    return stdout, stderr


def test_interrupt_stops_a_call_that_waits_for_a_fifo(tmp_path, source):
    fifo = tmp_path / "in.xlsx"
    os.mkfifo(fifo)
    out = tmp_path / "out" / "locked.xlsx"
    out.parent.mkdir()
    def in_the_wait(child):
        wait_until_open(child.pid, fifo)
        time.sleep(0.2)

    stdout, stderr = interrupt_call([FIFO_CALL, str(fifo), str(out), str(source)], in_the_wait)
    assert stdout == "KeyboardInterrupt []\nthen encrypted\n"
    assert stderr == ""  # no failure report: an interrupt is no failure
    assert oracle.decrypt(out, "pw") == source.read_bytes()


# A call whose destination is a FIFO that nobody reads: Ctrl-C raises
# KeyboardInterrupt instead of leaving the call stuck in open for ever,
# and the FIFO stays as it was.
FIFO_OUTPUT_CALL = textwrap.dedent("""
    import os, sys
    import cellvault
    src, fifo = sys.argv[1:3]
    print("calling", flush=True)
    try:
        cellvault.encrypt_excelfile(src, fifo, "pw")
    except KeyboardInterrupt:
        print("KeyboardInterrupt", sorted(os.listdir(os.path.dirname(fifo))))
""")


def test_interrupt_stops_a_call_that_waits_for_a_reader_of_its_fifo(tmp_path, source):
    out = tmp_path / "out"
    out.mkdir()
    fifo = out / "locked.xlsx"
    os.mkfifo(fifo)
    def in_the_call(child):
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.5)  # into the wait (a signal before it is seen there too)

    stdout, stderr = interrupt_call([FIFO_OUTPUT_CALL, str(source), str(fifo)], in_the_call)
    assert stdout == "KeyboardInterrupt ['locked.xlsx']\n"
    assert stderr == ""
    assert fifo.is_fifo()


def test_fifo_source_with_a_late_writer_is_read_whole(tmp_path):
    fifo = tmp_path / "in.xlsx"
    os.mkfifo(fifo)
    plain = os.urandom(300000)

    def write_late():
        time.sleep(0.3)
        with open(fifo, "wb", buffering=0) as w:
            for i in range(0, len(plain), 70000):
                w.write(plain[i:i + 70000])
                time.sleep(0.05)

    writer = threading.Thread(target=write_late)
    writer.start()
    try:
        cellvault.encrypt_excelfile(str(fifo), str(tmp_path / "out.xlsx"), "pw")
    finally:
        writer.join()
    assert oracle.decrypt(tmp_path / "out.xlsx", "pw") == plain
