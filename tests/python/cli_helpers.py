"""Running the installed `cellvault` command, and the test-only programs
that scripts/test.sh builds beside the unit tests."""

from __future__ import annotations

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

import pytest

from workbooks import make_package

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


def interrupt_once_written(args: list[str], cwd: Path, out: Path,
                           env: dict[str, str] | None = None) -> list[str]:
    """interrupt_once_written starts the command with `args`, sends it
    SIGINT as soon as a first file appears in `out`, checks that it ended by
    the signal, and returns the lines it wrote to standard error."""
    proc = subprocess.Popen(
        [cli_path(), *args], cwd=cwd, env={**os.environ, **(env or {})},
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True)
    deadline = time.monotonic() + 60
    while not any(out.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.005)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == -signal.SIGINT
    return err.decode().splitlines()


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


@pytest.fixture
def workbook(tmp_path: Path) -> tuple[Path, bytes]:
    path = tmp_path / "report.xlsx"
    return path, make_package(path, fill="report")


@pytest.fixture
def password_file(tmp_path: Path) -> Path:
    """PASSWORD in a file that only its owner may read, as the command
    expects (it warns about one that others may read)."""
    path = tmp_path / "password.txt"
    path.write_text(PASSWORD + "\n", encoding="utf-8")
    path.chmod(0o600)
    return path


def built_tool(name: str) -> str:
    """A test-only program from CELLVAULT_TOOLS_DIR (scripts/test.sh sets it
    to build/test/tests/cpp); skips the test when it is not there."""
    tools = os.environ.get("CELLVAULT_TOOLS_DIR")
    if not tools:
        pytest.skip("CELLVAULT_TOOLS_DIR is not set (scripts/test.sh sets it to build/test/tests/cpp)")
    path = Path(tools) / name
    if not os.access(path, os.X_OK):
        pytest.skip(f"{path} is missing: build the tests first (scripts/test.sh)")
    return str(path)


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
