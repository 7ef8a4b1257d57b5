"""Running the installed `cellvault` command and reading what it wrote."""

from __future__ import annotations

import io
import os
import pty
import select
import shutil
import signal
import subprocess
import sysconfig
import time
from collections.abc import Callable
from pathlib import Path

import msoffcrypto
import olefile
import openpyxl
import pytest

# Not ASCII: the text must reach the key as UTF-16.
PASSWORD = "Gr\u00fcn-\u00e9t\u00e9 42"


def cli_path() -> str:
    """The installed command: the environment's scripts folder first."""
    candidate = Path(sysconfig.get_path("scripts")) / "cellvault"
    if candidate.is_file() and os.access(candidate, os.X_OK):
        return str(candidate)
    found = shutil.which("cellvault")
    if found is None:
        raise RuntimeError("the cellvault command is not installed (pip install .)")
    return found


def run(args: list[str], cwd: Path, *, stdin: bytes = b"",
        env: dict[str, str] | None = None,
        before_exec: Callable[[], None] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs the command in a new session, so without a controlling terminal,
    and returns its exit status and decoded output. |before_exec| runs in
    the child (to set resource limits, say)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(
        [cli_path(), *args], cwd=cwd, input=stdin, capture_output=True,
        env=full_env, timeout=120, start_new_session=True, check=False,
        preexec_fn=before_exec,
    )
    return subprocess.CompletedProcess(
        done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


def make_workbook(path: Path, label: str) -> bytes:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet["A1"] = label
    sheet["B2"] = 1234.5
    book.save(path)
    return path.read_bytes()


@pytest.fixture
def workbook(tmp_path: Path) -> tuple[Path, bytes]:
    path = tmp_path / "report.xlsx"
    return path, make_workbook(path, "report")


@pytest.fixture
def password_file(tmp_path: Path) -> Path:
    """PASSWORD in a file that only its owner may read, as the command
    expects (it warns about one that others may read)."""
    path = tmp_path / "password.txt"
    path.write_text(PASSWORD + "\n", encoding="utf-8")
    path.chmod(0o600)
    return path


def files_in(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir())


def wait_until_open(pid: int, path: Path, timeout: float = 20.0) -> None:
    """Waits until process |pid| has |path| open (for a FIFO: it then waits
    for input), or |timeout| seconds have passed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if any(os.readlink(fd) == str(path) for fd in Path(f"/proc/{pid}/fd").iterdir()):
                return
        except OSError:  # gone, or not ours to look at: wait out the time
            pass
        time.sleep(0.02)


def decrypt(path: Path, password: str) -> bytes:
    """Decrypts with msoffcrypto-tool, checking the integrity HMAC too."""
    with path.open("rb") as f:
        office = msoffcrypto.OfficeFile(f)
        office.load_key(password=password)
        out = io.BytesIO()
        office.decrypt(out, verify_integrity=True)
    return out.getvalue()


def container(path: Path) -> tuple[int, int, list[list[str]]]:
    """(major version, sector size, stream paths) as olefile reads them."""
    with olefile.OleFileIO(str(path)) as ole:
        return ole.dll_version, ole.sectorsize, sorted(ole.listdir())


class PtyProcess:
    """The command with a pseudo-terminal as its controlling terminal, so that
    its prompt reads /dev/tty as it does for a person at a keyboard."""

    def __init__(self, args: list[str], cwd: Path,
                 before_exec: Callable[[], None] | None = None) -> None:
        exe = cli_path()
        pid, fd = pty.fork()
        if pid == 0:  # the child: never returns into pytest
            try:
                os.chdir(cwd)
                if before_exec is not None:
                    before_exec()
                os.execv(exe, [exe, *args])
            finally:
                os._exit(127)
        self.pid = pid
        self.fd = fd
        self.seen = b""
        self.status: int | None = None

    def expect(self, text: bytes, timeout: float = 30.0, count: int = 1) -> None:
        """Waits until |text| has been shown |count| times in all."""
        deadline = time.monotonic() + timeout
        while self.seen.count(text) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"never saw {text!r}; saw {self.seen!r}")
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # EIO: the child closed the terminal
                    chunk = b""
                if not chunk:
                    raise AssertionError(f"ended before {text!r}; saw {self.seen!r}")
                self.seen += chunk

    def send(self, data: bytes) -> None:
        os.write(self.fd, data)

    def wait(self, timeout: float = 120.0) -> int:
        """Reads the rest of the output and returns the exit status
        (negative: killed by that signal)."""
        deadline = time.monotonic() + timeout
        while self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid != 0:
                self.status = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                raise AssertionError(f"still running; saw {self.seen!r}")
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                try:
                    self.seen += os.read(self.fd, 4096)
                except OSError:
                    pass
        # What the child wrote just before it ended may still be unread.
        while select.select([self.fd], [], [], 0.2)[0]:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # EIO: the terminal has no process left
                break
            if not chunk:
                break
            self.seen += chunk
        return self.status

    def close(self) -> None:
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)
