#!/usr/bin/python3
"""Reads password-protected workbooks in a private headless LibreOffice.

Runs under the system interpreter that carries LibreOffice's `uno` module
(Debian: /usr/bin/python3 with python3-uno); libreoffice.py starts it as

    lo_server.py ROOT

in a process group of its own, ROOT being an empty directory for the
office's profile and temporary files. It starts soffice in a second process
group and answers in JSON lines: first {"status": "ready", "office_pgid",
"office_sockets"} (what a caller that gives up on it needs to kill the
office and remove its files), then one reply per request line {"path",
"password"}: {"status": "ok", "sheets": {name: rows}} with every cell of
the used area (numbers as floats, text as strings, empty cells as null),
{"status": "wrong_password"}, or {"status": "error", "message"}, with
"fatal": true when the office died and the server ends. A request
{"path", "password", "save_to"} instead loads the plain workbook at path
and saves it to save_to as an Office Open XML workbook locked with the
password, as a person does with "Save with password", answering
{"status": "ok"}. End of input shuts the office down.
"""

import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import uno
import unohelper
from com.sun.star.task import XInteractionHandler


class WrongPassword(Exception):
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


def prop(name, value):
    p = uno.createUnoStruct("com.sun.star.beans.PropertyValue")
    p.Name = name
    p.Value = value
    return p


def start_office(root):
    """Starts soffice with its profile in `root` and returns (process, desktop)."""
    soffice = os.environ.get("CELLVAULT_SOFFICE") or shutil.which("soffice")
    connect = "pipe,name=cellvault_%d;urp;StarOffice.ComponentContext" % os.getpid()
    tmp = os.path.join(root, "tmp")
    os.mkdir(tmp)
    proc = subprocess.Popen(
        [soffice, "--headless", "--invisible", "--norestore", "--nologo", "--nodefault",
         "--nolockcheck", "--accept=" + connect,
         "-env:UserInstallation=" + uno.systemPathToFileUrl(os.path.join(root, "profile"))],
        env=dict(os.environ, TMPDIR=tmp), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext(
        "com.sun.star.bridge.UnoUrlResolver", local)
    while True:  # the caller times the start out
        try:
            ctx = resolver.resolve("uno:" + connect)
            break
        except Exception:
            if proc.poll() is not None:
                raise RuntimeError("soffice exited with status %d before accepting"
                                   % proc.returncode) from None
            time.sleep(0.1)
    return proc, ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)


def read(desktop, path, password):
    """Loads `path` hidden and read-only, giving `password` when asked, and
    returns the cells of every sheet. The document is closed on every way out."""
    if not os.path.isfile(path):
        raise RuntimeError("no such file: %s" % path)
    handler = PasswordSupplier(password)
    args = (prop("Hidden", True), prop("ReadOnly", True), prop("InteractionHandler", handler),
            prop("MacroExecutionMode", 0), prop("UpdateDocMode", 0))
    doc = None
    try:
        try:
            doc = desktop.loadComponentFromURL(
                uno.systemPathToFileUrl(os.path.abspath(path)), "_blank", 0, args)
        except Exception as exc:
            if handler.prompts > 1:
                raise WrongPassword() from None
            raise RuntimeError("loading failed: %s %s (interactions: %s)"
                               % (type(exc).__name__, getattr(exc, "Message", exc),
                                  handler.requests)) from None
        if handler.prompts > 1:
            raise WrongPassword()
        if doc is None or not hasattr(doc, "getSheets"):
            raise RuntimeError("no spreadsheet loaded (interactions: %s)" % handler.requests)
        sheets = {}
        for sheet in doc.getSheets():
            cursor = sheet.createCursor()
            cursor.gotoEndOfUsedArea(False)
            end = cursor.getRangeAddress()
            area = sheet.getCellRangeByPosition(0, 0, end.EndColumn, end.EndRow)
            sheets[sheet.getName()] = [[None if v == "" else v for v in row]
                                       for row in area.getDataArray()]
        return sheets
    finally:
        if doc is not None:
            try:
                doc.close(True)
            except Exception:
                doc.dispose()


def save_locked(desktop, path, save_to, password):
    """Loads the plain workbook `path` hidden and stores it to `save_to` in
    the Excel 2007-365 format, encrypted with `password`.

    LibreOffice 7.4 encrypts an Office Open XML export when the media
    descriptor carries EncryptionData with "OOXPassword"; a plain "Password"
    property is ignored for this format (the file comes out unencrypted).
    Without "CryptoType" it picks its Agile engine, whose store fails here
    with a write error (0xc10); "CryptoType": "Standard" writes the
    Standard encryption. The sequence must be typed for pyuno, hence the
    uno.Any and uno.invoke."""
    if not os.path.isfile(path):
        raise RuntimeError("no such file: %s" % path)
    doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(os.path.abspath(path)), "_blank",
                                       0, (prop("Hidden", True), prop("MacroExecutionMode", 0)))
    try:
        data = tuple(uno.createUnoStruct("com.sun.star.beans.NamedValue", name, value)
                     for name, value in (("OOXPassword", password), ("CryptoType", "Standard")))
        encryption = prop("EncryptionData", uno.Any("[]com.sun.star.beans.NamedValue", data))
        args = uno.Any("[]com.sun.star.beans.PropertyValue",
                       (prop("FilterName", "Calc MS Excel 2007 XML"), encryption))
        uno.invoke(doc, "storeToURL", (uno.systemPathToFileUrl(os.path.abspath(save_to)), args))
    finally:
        try:
            doc.close(True)
        except Exception:
            doc.dispose()


def socket_paths(pgid):
    """The named Unix sockets that the processes of group `pgid` hold open.
    LibreOffice's pipes live in /tmp whatever TMPDIR says, and a killed
    office leaves them behind."""
    inodes = set()
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                if int(f.read().rsplit(")", 1)[1].split()[2]) != pgid:
                    continue
            fd_dir = os.path.join(os.path.dirname(stat), "fd")
            links = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
            inodes.update(link[8:-1] for link in links if link.startswith("socket:["))
        except (OSError, IndexError, ValueError):
            continue
    with open("/proc/net/unix") as f:
        rows = [line.split() for line in f]
    return sorted({r[7] for r in rows if len(r) >= 8 and r[6] in inodes
                   and r[7].startswith("/tmp/OSL_PIPE_")})


def reply(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def main():
    proc = None
    try:
        proc, desktop = start_office(sys.argv[1])
        reply({"status": "ready", "office_pgid": proc.pid,
               "office_sockets": socket_paths(proc.pid)})
        for line in sys.stdin:
            request = json.loads(line)
            try:
                if "save_to" in request:
                    save_locked(desktop, request["path"], request["save_to"], request["password"])
                    answer = {"status": "ok"}
                else:
                    answer = {"status": "ok",
                              "sheets": read(desktop, request["path"], request["password"])}
            except WrongPassword:
                answer = {"status": "wrong_password"}
            except Exception as exc:
                answer = {"status": "error", "message": str(exc)}
                try:
                    desktop.getFrames()  # still there, or the office died
                except Exception:
                    proc.wait(timeout=10)
                    reply({"status": "error", "fatal": True,
                           "message": "LibreOffice died (status %s) while loading: %s"
                                      % (proc.returncode, exc)})
                    return 1
            reply(answer)
        desktop.terminate()
        proc.wait(timeout=10)
        return 0
    except Exception as exc:
        reply({"status": "error", "fatal": True, "message": "LibreOffice failed: %s" % exc})
        return 1
    finally:
        if proc is not None and proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
        # Also when the caller died without cleaning up.
        shutil.rmtree(sys.argv[1], ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
