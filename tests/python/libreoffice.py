"""Reads encrypted workbooks back through LibreOffice, for the pytest suite.

LibreOffice's Python bridge lives in the system interpreter, not in the one
that runs the tests, so the work happens in lo_read_cells.py under
CELLVAULT_LO_PYTHON (default /usr/bin/python3). One such server, holding one
headless office, answers every request of a test session; it is started on
first use and shut down at exit.

    libreoffice_available() -> bool
    require_libreoffice()      skip the test, or fail it when
                               CELLVAULT_REQUIRE_LIBREOFFICE=1 (CI)
    read_cells(path, password, sheets=None, timeout=90)
        -> {sheet: [[value, ...], ...]}  numbers as float, text as str,
        empty cells as None, trailing empty rows/columns dropped; `sheets`
        picks sheets or "Sheet!A1:C9" ranges. Raises WrongPassword when the
        office rejects the password, LibreOfficeError for anything else.
    assert_same_cells(expected, actual)
        equality that allows floats the last-digit rounding LibreOffice's
        import applies (it keeps 15 significant digits).
    libreoffice                a session fixture giving read_cells (import it
                               into a conftest or test module)
"""

import atexit
import functools
import json
import math
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

LO_PYTHON = os.environ.get("CELLVAULT_LO_PYTHON", "/usr/bin/python3")
SCRIPT = Path(__file__).with_name("lo_read_cells.py")
START_TIMEOUT = 120.0


class LibreOfficeError(Exception):
    """The office could not be started, timed out, or failed to load a file."""


class WrongPassword(LibreOfficeError):
    """The office asked for the password again: the given one was rejected."""


def _child_env():
    # The system interpreter must not pick up the test interpreter's paths.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")}
    env.setdefault("SAL_USE_VCLPLUGIN", "svp")
    return env


def _soffice():
    explicit = os.environ.get("CELLVAULT_SOFFICE")
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    for name in ("/usr/lib/libreoffice/program/soffice", "soffice", "libreoffice"):
        found = shutil.which(name)
        if found:
            return found
    return None


@functools.lru_cache(maxsize=None)
def _unavailable_reason():
    if _soffice() is None:
        return "LibreOffice (soffice) not found"
    if not os.access(LO_PYTHON, os.X_OK):
        return "no interpreter at %s (set CELLVAULT_LO_PYTHON)" % LO_PYTHON
    try:
        probe = subprocess.run([LO_PYTHON, "-c", "import uno"], env=_child_env(),
                               capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return "%s failed to run: %s" % (LO_PYTHON, exc)
    if probe.returncode != 0:
        return "%s cannot import uno (python3-uno missing?)" % LO_PYTHON
    return None


def libreoffice_available():
    """libreoffice_available tells whether soffice and a Python with `uno` exist."""
    return _unavailable_reason() is None


def require_libreoffice():
    """require_libreoffice returns if LibreOffice can be used; otherwise it
    skips the calling test, or fails it when CELLVAULT_REQUIRE_LIBREOFFICE=1."""
    reason = _unavailable_reason()
    if reason is None:
        return
    if os.environ.get("CELLVAULT_REQUIRE_LIBREOFFICE") == "1":
        pytest.fail("CELLVAULT_REQUIRE_LIBREOFFICE=1 but " + reason, pytrace=False)
    pytest.skip(reason)


class _Server:
    """One lo_read_cells.py --serve process and the office it started."""

    def __init__(self):
        self._log = tempfile.TemporaryFile()
        self._lines = queue.Queue()
        self.office_pgid = None
        self.office_root = None
        self.office_sockets = []
        self.proc = subprocess.Popen(
            [LO_PYTHON, str(SCRIPT), "--serve", "--timeout", str(START_TIMEOUT)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
            env=_child_env(), text=True, encoding="utf-8", bufsize=1)
        threading.Thread(target=self._pump, daemon=True).start()
        ready = self._reply(START_TIMEOUT + 10)
        if ready.get("status") != "ready":
            self.kill()
            raise LibreOfficeError("LibreOffice did not start: %s%s"
                                   % (ready.get("message", ready), self._stderr()))
        self.office_pgid = ready["office_pgid"]
        self.office_root = ready["office_root"]
        self.office_sockets = ready["office_sockets"]

    def _pump(self):
        for line in self.proc.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def _stderr(self):
        self._log.seek(0)
        text = self._log.read().decode("utf-8", "replace").strip()
        return "\n" + text if text else ""

    def _reply(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            self.kill()
            raise LibreOfficeError("LibreOffice gave no answer in %gs" % timeout) from None
        if line is None:
            self.proc.wait()
            raise LibreOfficeError("LibreOffice server ended (status %s)%s"
                                   % (self.proc.returncode, self._stderr()))
        return json.loads(line)

    def alive(self):
        return self.proc.poll() is None

    def request(self, path, password, sheets, timeout):
        self.proc.stdin.write(json.dumps({"path": os.fspath(path), "password": password,
                                          "sheets": sheets}) + "\n")
        self.proc.stdin.flush()
        return self._reply(timeout)

    def close(self):
        if self.alive():
            try:
                self.proc.stdin.close()
                self.proc.wait(timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self.kill()

    def kill(self):
        """kill ends the office and the server at once (both are ours). With
        its office gone the server is let clean up for a few seconds (it
        removes the office's files) before it is killed too."""
        if self.office_pgid is not None:
            try:
                os.killpg(self.office_pgid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.office_pgid = None
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.office_root:
            shutil.rmtree(self.office_root, ignore_errors=True)
        for path in self.office_sockets:
            try:
                os.unlink(path)
            except OSError:
                pass
        for stream in (self.proc.stdin, self.proc.stdout, self._log):
            try:
                stream.close()
            except OSError:
                pass


_server = None
_server_lock = threading.Lock()


def _shutdown():
    global _server
    if _server is not None:
        _server.close()
        _server = None


atexit.register(_shutdown)


def read_cells(path, password, sheets=None, timeout=90.0):
    """read_cells opens `path` in LibreOffice with `password` and returns
    {sheet: rows}. Skips (or fails, in CI) when LibreOffice is missing.
    Raises WrongPassword if the password is rejected and LibreOfficeError
    for any other failure, including a load that takes over `timeout` s."""
    global _server
    require_libreoffice()
    with _server_lock:
        if _server is not None and not _server.alive():
            _server.close()  # reaps it and closes its pipes
            _server = None
        if _server is None:
            _server = _Server()
        reply = _server.request(path, password, list(sheets) if sheets else None, timeout)
        if reply.get("fatal"):
            _server.close()
            _server = None
    status = reply.get("status")
    if status == "ok":
        return reply["sheets"]
    if status == "wrong_password":
        raise WrongPassword("LibreOffice rejected the password for %s" % path)
    raise LibreOfficeError("LibreOffice could not read %s: %s"
                           % (path, reply.get("message", reply)))


def _same_value(a, b):
    if isinstance(a, (int, float)) and isinstance(b, (int, float)) \
            and not isinstance(a, bool) and not isinstance(b, bool):
        return math.isclose(a, b, rel_tol=1e-14, abs_tol=0.0)
    return a == b


def assert_same_cells(expected, actual):
    """assert_same_cells fails with the first differing cell, naming it."""
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
    """libreoffice gives read_cells after checking that LibreOffice exists;
    the office is shut down when the session ends."""
    require_libreoffice()
    yield read_cells
    _shutdown()


if __name__ == "__main__":
    # Quick manual check: python3 libreoffice.py BOOK PASSWORD
    print(read_cells(sys.argv[1], sys.argv[2]))
