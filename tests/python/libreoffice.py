"""Reads encrypted workbooks back through LibreOffice, for the pytest suite.

LibreOffice's Python bridge lives in the system interpreter, not in the one
that runs the tests, so the work happens in lo_server.py under
CELLVAULT_LO_PYTHON (default /usr/bin/python3). One such server, holding one
headless office, answers every request of a test session; it is started on
first use, started afresh after its office died, and shut down at exit.

    require_libreoffice()   skip the test, or fail it when
                            CELLVAULT_REQUIRE_LIBREOFFICE=1 (CI)
    libreoffice             a session fixture giving read_cells; it skips
                            (or fails) before the test does any work
    read_cells(path, password, timeout=90) -> {sheet: rows}, trimmed like
        workbooks.trim; raises WrongPassword when the office rejects the
        password, LibreOfficeError for anything else
    save_locked(src, dst, password, timeout=90)
                            LibreOffice saves the plain workbook src as
                            dst, locked with password
    assert_same_cells(expected, actual)
"""

import atexit
import functools
import json
import math
import os
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from workbooks import trim

LO_PYTHON = os.environ.get("CELLVAULT_LO_PYTHON", "/usr/bin/python3")
SERVER = Path(__file__).with_name("lo_server.py")
START_TIMEOUT = 120.0


class LibreOfficeError(Exception):
    """The office could not be started, timed out, died, or failed to load a file."""


class WrongPassword(LibreOfficeError):
    """The office asked for the password again: the given one was rejected."""


def _child_env():
    # The system interpreter must not pick up the test interpreter's paths.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")}
    env.setdefault("SAL_USE_VCLPLUGIN", "svp")
    return env


@functools.lru_cache(maxsize=None)
def _unavailable_reason():
    soffice = os.environ.get("CELLVAULT_SOFFICE") or shutil.which("soffice")
    if not soffice or not os.access(soffice, os.X_OK):
        return "LibreOffice (soffice) not found"
    try:
        probe = subprocess.run([LO_PYTHON, "-c", "import uno"], env=_child_env(),
                               capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return "%s cannot run (set CELLVAULT_LO_PYTHON): %s" % (LO_PYTHON, exc)
    if probe.returncode != 0:
        return "%s cannot import uno (python3-uno missing?)" % LO_PYTHON
    return None


def require_libreoffice():
    reason = _unavailable_reason()
    if reason is None:
        return
    if os.environ.get("CELLVAULT_REQUIRE_LIBREOFFICE") == "1":
        pytest.fail("CELLVAULT_REQUIRE_LIBREOFFICE=1 but " + reason, pytrace=False)
    pytest.skip(reason)


class _Server:
    """One lo_server.py process and the office it started; kill() ends both
    at once and removes what they left."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="cellvault-lo-")
        self.log = tempfile.TemporaryFile()
        self.pending = b""
        self.office_pgid = None
        self.sockets = []
        self.proc = subprocess.Popen([LO_PYTHON, str(SERVER), self.root],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, env=_child_env(),
                                     start_new_session=True)
        ready = self.receive(START_TIMEOUT)
        if ready.get("status") != "ready":
            self.kill()
            raise LibreOfficeError("LibreOffice did not start: %s" % ready.get("message"))
        self.office_pgid = ready["office_pgid"]
        self.sockets = ready["office_sockets"]

    def receive(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.kill()
                raise LibreOfficeError("LibreOffice gave no answer in %gs" % timeout)
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                self.kill()
                self.log.seek(0)
                raise LibreOfficeError("LibreOffice server ended (status %s): %s" % (
                    self.proc.returncode, self.log.read().decode("utf-8", "replace")))
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return json.loads(line)

    def request(self, path, password, timeout, save_to=None):
        message = {"path": os.fspath(path), "password": password}
        if save_to is not None:
            message["save_to"] = os.fspath(save_to)
        try:
            self.proc.stdin.write(json.dumps(message).encode() + b"\n")
            self.proc.stdin.flush()
        except OSError:
            pass  # the server is gone; receive() reports it
        return self.receive(timeout)

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            pass
        self.kill()

    def kill(self):
        for pgid in (self.office_pgid, self.proc.pid):
            if pgid is not None:
                try:
                    os.killpg(pgid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
        self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        for path in self.sockets:
            try:
                os.unlink(path)
            except OSError:
                pass
        for stream in (self.proc.stdin, self.proc.stdout, self.log):
            try:
                stream.close()
            except OSError:
                pass


_server = None
_server_lock = threading.Lock()


@atexit.register
def _shutdown():
    global _server
    if _server is not None:
        _server.close()
        _server = None


def _ask(path, password, timeout, save_to=None):
    global _server
    require_libreoffice()
    with _server_lock:
        if _server is None:
            _server = _Server()
        try:
            reply = _server.request(path, password, timeout, save_to)
        except LibreOfficeError:
            _server = None  # killed already; the next read starts afresh
            raise
        if reply.get("fatal"):
            _server.kill()
            _server = None
    return reply


def save_locked(src, dst, password, timeout=90.0):
    """save_locked has LibreOffice save the plain workbook `src` as `dst`,
    locked with `password`."""
    reply = _ask(src, password, timeout, save_to=dst)
    if reply["status"] != "ok":
        raise LibreOfficeError("LibreOffice could not save %s: %s" % (dst, reply.get("message")))


def read_cells(path, password, timeout=90.0):
    """read_cells opens `path` in LibreOffice with `password` and returns
    {sheet: rows}; a load that takes over `timeout` s is a LibreOfficeError."""
    reply = _ask(path, password, timeout)
    if reply["status"] == "ok":
        return {name: trim(rows) for name, rows in reply["sheets"].items()}
    if reply["status"] == "wrong_password":
        raise WrongPassword("LibreOffice rejected the password for %s" % path)
    raise LibreOfficeError("LibreOffice could not read %s: %s" % (path, reply.get("message")))


def _same_value(a, b):
    # LibreOffice's import keeps 15 significant digits, so a float may come
    # back rounded in its last digit; anything more is a changed value.
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) \
            and not isinstance(a, bool) and not isinstance(b, bool):
        return math.isclose(a, b, rel_tol=1e-14, abs_tol=0.0)
    return a == b


def assert_same_cells(expected, actual):
    """assert_same_cells compares every cell and fails at the first
    difference, naming it."""
    assert sorted(actual) == sorted(expected), "sheets differ"
    for name, rows in expected.items():
        got = actual[name]
        assert len(got) == len(rows), "%s: %d rows, expected %d" % (name, len(got), len(rows))
        for r, (want_row, got_row) in enumerate(zip(rows, got), start=1):
            assert len(got_row) == len(want_row), \
                "%s row %d: %d columns, expected %d" % (name, r, len(got_row), len(want_row))
            for c, (want, have) in enumerate(zip(want_row, got_row), start=1):
                assert _same_value(want, have), \
                    "%s R%dC%d: %r, expected %r" % (name, r, c, have, want)


@pytest.fixture(scope="session")
def libreoffice():
    require_libreoffice()
    yield read_cells
    _shutdown()
