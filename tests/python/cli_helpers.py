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
from pathlib import Path

import pytest


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
        env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs the command in a new session, so without a controlling terminal,
    and returns its exit status and decoded output."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(
        [cli_path(), *args], cwd=cwd, input=stdin, capture_output=True,
        env=full_env, timeout=120, start_new_session=True, check=False,
    )
    return subprocess.CompletedProcess(
        done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


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


class PtyProcess:
    """The command with a pseudo-terminal as its controlling terminal, so that
    its prompt reads /dev/tty as it does for a person at a keyboard."""

    def __init__(self, args: list[str], cwd: Path) -> None:
        exe = cli_path()
        pid, fd = pty.fork()
        if pid == 0:  # the child: never returns into pytest
            try:
                os.chdir(cwd)
                os.execv(exe, [exe, *args])
            finally:
                os._exit(127)
        self.pid = pid
        self.fd = fd
        self.seen = b""
        self.status: int | None = None

    def _read(self, timeout: float) -> bytes | None:
        """Adds what the terminal gives within |timeout| s to seen and
        returns it: None when nothing came, b"" once the child closed it."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return None
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:  # EIO: the child closed the terminal
            chunk = b""
        self.seen += chunk
        return chunk

    def expect(self, text: bytes, timeout: float = 30.0) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"never saw {text!r}; saw {self.seen!r}")
            if self._read(left) == b"":
                raise AssertionError(f"ended before {text!r}; saw {self.seen!r}")

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
            self._read(0.1)
        # What the child wrote just before it ended may still be unread.
        while self._read(0):
            pass
        return self.status

    def close(self) -> None:
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)
