"""A private headless LibreOffice and reading cells from it, over UNO.

Used by lo_read_cells.py; runs under the system interpreter that has `uno`.
"""

import glob
import os
import shutil
import signal
import subprocess
import tempfile
import time

import uno
import unohelper
from com.sun.star.task import XInteractionHandler

SOFFICE_CANDIDATES = ("/usr/lib/libreoffice/program/soffice", "soffice", "libreoffice")


class WrongPassword(Exception):
    pass


class OfficeTimeout(Exception):
    pass


class PasswordSupplier(unohelper.Base, XInteractionHandler):
    """Gives the password when LibreOffice asks for it, once; aborts the rest.

    The password is not passed in the load arguments: with a wrong one there,
    type detection fails with the same error as for a damaged file. Through
    the handler a rejected password shows as a second prompt, which tells
    "wrong password" apart from every other load failure.
    """

    def __init__(self, password):
        self.password = password
        self.prompts = 0
        self.requests = []

    @property
    def password_rejected(self):
        return self.prompts > 1

    def handle(self, request):
        # The request itself is not inspected: pyuno on Python 3.11 fails to
        # convert the UNO exception it carries. A password prompt is the one
        # request that offers an XInteractionPassword continuation.
        try:
            continuations = request.getContinuations()
            supplier = find_continuation(continuations, "XInteractionPassword")
            if supplier is not None:
                self.prompts += 1
                if self.prompts == 1:
                    supplier.setPassword(self.password)
                    supplier.select()
                    return
            self.requests.append("password prompt" if supplier else "other request")
            abort = find_continuation(continuations, "XInteractionAbort")
            if abort is not None:
                abort.select()
        except Exception as exc:
            self.requests.append("handler failed: %r" % exc)


def find_continuation(continuations, interface):
    wanted = uno.getTypeByName("com.sun.star.task." + interface)
    for c in continuations:
        found = c.queryInterface(wanted)
        if found is not None:
            return found
    return None


def find_soffice():
    explicit = os.environ.get("CELLVAULT_SOFFICE")
    if explicit:
        return explicit
    for candidate in SOFFICE_CANDIDATES:
        found = shutil.which(candidate)
        if found:
            return found
    raise RuntimeError("soffice not found (set CELLVAULT_SOFFICE)")


def prop(name, value):
    p = uno.createUnoStruct("com.sun.star.beans.PropertyValue")
    p.Name = name
    p.Value = value
    return p


class Office:
    """One headless soffice process with its own profile, driven over a pipe."""

    def __init__(self):
        # profile/ is the user installation, tmp/ the office's TMPDIR: both
        # go with the one directory.
        self.root = tempfile.mkdtemp(prefix="cellvault-lo-")
        self.profile = os.path.join(self.root, "profile")
        self.tmp = os.path.join(self.root, "tmp")
        os.mkdir(self.tmp)
        self.sockets = []
        self.pipe = "cellvault_%d_%d" % (os.getpid(), int(time.monotonic() * 1000))
        self.proc = None
        self.desktop = None

    def start(self, start_timeout):
        """start launches soffice and connects; raises OfficeTimeout or
        RuntimeError. The caller must call close() in every case."""
        connect = "pipe,name=%s;urp;StarOffice.ComponentContext" % self.pipe
        argv = [find_soffice(), "--headless", "--invisible", "--norestore",
                "--nologo", "--nodefault", "--nolockcheck",
                "-env:UserInstallation=" + uno.systemPathToFileUrl(self.profile),
                "--accept=" + connect]
        # A new session makes soffice and the oosplash/soffice.bin pair it
        # spawns one process group that close() can kill as a whole.
        env = dict(os.environ, TMPDIR=self.tmp)
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.monotonic() + start_timeout
        while True:
            try:
                ctx = resolver.resolve("uno:" + connect)
                break
            except Exception:
                if self.proc.poll() is not None:
                    raise RuntimeError("soffice exited with status %d before accepting"
                                       % self.proc.returncode)
                if time.monotonic() > deadline:
                    raise OfficeTimeout("soffice did not accept a connection in %gs"
                                        % start_timeout)
                time.sleep(0.1)
        self.desktop = ctx.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", ctx)
        self.sockets = socket_paths(self.proc.pid)

    def read(self, path, password, sheets=None):
        """read loads `path` hidden and read-only, giving `password` when the
        office asks, and returns read_sheets' result. Raises WrongPassword if
        the office asks again, RuntimeError for any other failure. The
        document is closed on every way out."""
        if not os.path.isfile(path):
            raise RuntimeError("no such file: %s" % path)
        handler = PasswordSupplier(password)
        args = (prop("Hidden", True), prop("ReadOnly", True),
                prop("InteractionHandler", handler),
                prop("MacroExecutionMode", 0), prop("UpdateDocMode", 0))
        url = uno.systemPathToFileUrl(os.path.abspath(path))
        doc = None
        try:
            try:
                doc = self.desktop.loadComponentFromURL(url, "_blank", 0, args)
            except Exception as exc:
                if handler.password_rejected:
                    raise WrongPassword() from None
                raise RuntimeError("loading failed: %s %s (interactions: %s)"
                                   % (type(exc).__name__, getattr(exc, "Message", exc),
                                      handler.requests)) from None
            if handler.password_rejected:
                raise WrongPassword()
            if doc is None:
                raise RuntimeError("loading returned no document (interactions: %s)"
                                   % handler.requests)
            if not hasattr(doc, "getSheets"):
                raise RuntimeError("not a spreadsheet: %s" % url)
            return read_sheets(doc, sheets)
        finally:
            if doc is not None:
                try:
                    doc.close(True)
                except Exception:
                    doc.dispose()

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            try:
                if self.desktop is not None:
                    self.desktop.terminate()
                self.proc.wait(timeout=10)
            except Exception:
                pass
        self.discard()

    def discard(self):
        """discard kills the office without asking and removes its files."""
        if self.proc is not None:
            if self.proc.poll() is None:
                self.sockets += socket_paths(self.proc.pid)
            kill_group(self.proc)
        shutil.rmtree(self.root, ignore_errors=True)
        # A killed office leaves the sockets of its pipes in /tmp.
        for leftover in self.sockets + glob.glob("/tmp/OSL_PIPE_*_" + self.pipe):
            try:
                os.unlink(leftover)
            except OSError:
                pass


def socket_paths(pgid):
    """socket_paths lists the named Unix sockets that the processes of
    group `pgid` hold open (LibreOffice's pipes live in /tmp whatever
    TMPDIR says), so that they can be removed after a kill."""
    inodes = set()
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) != pgid:
                continue
            fd_dir = os.path.join(os.path.dirname(stat), "fd")
            for fd in os.listdir(fd_dir):
                target = os.readlink(os.path.join(fd_dir, fd))
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except (OSError, IndexError, ValueError):
            continue
    paths = []
    try:
        with open("/proc/net/unix") as f:
            next(f)
            for line in f:
                parts = line.split()
                if len(parts) >= 8 and parts[6] in inodes and parts[7].startswith("/tmp/OSL_PIPE_"):
                    paths.append(parts[7])
    except OSError:
        pass
    return sorted(set(paths))


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def read_sheets(doc, wanted):
    """read_sheets returns {name or NAME!RANGE: rows} for the wanted sheets
    (all of them when `wanted` is empty); unknown names raise RuntimeError."""
    all_sheets = doc.getSheets()
    if not wanted:
        wanted = list(all_sheets.getElementNames())
    out = {}
    for selector in wanted:
        name, _, cells = selector.partition("!")
        if not all_sheets.hasByName(name):
            raise RuntimeError("no sheet named %r (sheets: %s)"
                               % (name, list(all_sheets.getElementNames())))
        sheet = all_sheets.getByName(name)
        if cells:
            area = sheet.getCellRangeByName(cells)
        else:
            cursor = sheet.createCursor()
            cursor.gotoEndOfUsedArea(False)
            end = cursor.getRangeAddress()
            area = sheet.getCellRangeByPosition(0, 0, end.EndColumn, end.EndRow)
        out[selector] = trim([[None if v == "" else v for v in row]
                          for row in area.getDataArray()])
    return out


def trim(rows):
    """Drops trailing rows and columns that hold no value at all."""
    while rows and all(v is None for v in rows[-1]):
        rows.pop()
    width = max((len(r) - next((i for i, v in enumerate(reversed(r)) if v is not None),
                               len(r)) for r in rows), default=0)
    return [list(r[:width]) for r in rows]
