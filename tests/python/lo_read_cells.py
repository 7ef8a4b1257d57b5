#!/usr/bin/python3
"""Open password-protected workbooks in LibreOffice and print their cells as JSON.

Runs under the system interpreter that carries LibreOffice's `uno` module
(Debian: /usr/bin/python3 with python3-uno), not under the test interpreter.

One file:
    lo_read_cells.py BOOK.xlsx (--password-env NAME | --password PW)
                     [--sheet NAME | --sheet NAME!A1:C9]... [--timeout SECONDS]
  prints {"Sheet": [[value, ...], ...], ...} and exits 0. Numbers come back
  as floats, text as strings, empty cells as null; trailing empty rows and
  columns are dropped. Exit 3: the password was rejected. Exit 4: LibreOffice
  did not start or answer in time. Exit 2: anything else (message on stderr).

Many files through one office process (used by the pytest helper):
    lo_read_cells.py --serve [--timeout SECONDS]
  reads one JSON request per line on stdin, {"path": ..., "password": ...,
  "sheets": [...] or null}, and answers one JSON line per request:
  {"status": "ok", "sheets": {...}}, {"status": "wrong_password"} or
  {"status": "error", "message": ...}; an error with "fatal": true means the
  office died and this server is ending. End of input shuts the office down.

Each run starts its own soffice with a private profile in a temporary
directory and a private pipe name, and kills the whole process group when it
ends, also after a timeout or a signal.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time

from lo_office import Office, OfficeTimeout, WrongPassword

EXIT_OK = 0
EXIT_ERROR = 2
EXIT_WRONG_PASSWORD = 3
EXIT_TIMEOUT = 4


def arm_watchdog(seconds, office_box):
    """Ends the process (and the office) if a step hangs past `seconds`."""
    def expire():
        office_box["expired"] = True
        office = office_box.get("office")
        if office is not None:
            office.discard()
        sys.stderr.write("lo_read_cells: timed out after %gs\n" % seconds)
        sys.stderr.flush()
        os._exit(EXIT_TIMEOUT)
    timer = threading.Timer(seconds, expire)
    timer.daemon = True
    timer.start()
    return timer


def run_one(args):
    if args.password_env:
        password = os.environ.get(args.password_env)
        if password is None:
            sys.stderr.write("lo_read_cells: $%s is not set\n" % args.password_env)
            return EXIT_ERROR
    else:
        password = args.password
    box = {}
    watchdog = arm_watchdog(args.timeout, box)
    try:
        box["office"] = Office()
        box["office"].start(args.timeout)
        sheets = box["office"].read(args.path, password, args.sheet)
        json.dump(sheets, sys.stdout)
        sys.stdout.write("\n")
        return EXIT_OK
    except WrongPassword:
        sys.stderr.write("lo_read_cells: wrong password for %s\n" % args.path)
        return EXIT_WRONG_PASSWORD
    except Exception as exc:
        if box.get("expired"):
            time.sleep(60)  # the watchdog is ending the process
        sys.stderr.write("lo_read_cells: %s\n" % exc)
        return EXIT_TIMEOUT if isinstance(exc, OfficeTimeout) else EXIT_ERROR
    finally:
        watchdog.cancel()
        if "office" in box:
            box["office"].close()


def serve(args):
    """Answers requests until stdin ends; the caller times each request out."""
    out = sys.stdout
    office = Office()
    try:
        try:
            office.start(args.timeout)
        except Exception as exc:
            out.write(json.dumps({"status": "error", "message": "start: %s" % exc}) + "\n")
            out.flush()
            return EXIT_TIMEOUT if isinstance(exc, OfficeTimeout) else EXIT_ERROR
        # What a caller that gives up on this server (timeout) needs to kill
        # the office and remove its files too.
        out.write(json.dumps({"status": "ready", "office_pgid": office.proc.pid,
                              "office_root": office.root,
                              "office_sockets": office.sockets}) + "\n")
        out.flush()
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                req = json.loads(line)
                reply = {"status": "ok",
                         "sheets": office.read(req["path"], req["password"],
                                               req.get("sheets"))}
            except WrongPassword:
                reply = {"status": "wrong_password"}
            except Exception as exc:
                reply = {"status": "error", "message": str(exc)}
            office_died = office.proc.poll() is not None
            if office_died:
                reply = {"status": "error", "fatal": True,
                         "message": "LibreOffice died (status %d) while loading: %s"
                                    % (office.proc.returncode, reply.get("message", reply))}
            out.write(json.dumps(reply) + "\n")
            out.flush()
            if office_died:
                # The caller starts a new server for its next request.
                return EXIT_ERROR
        return EXIT_OK
    finally:
        office.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?")
    parser.add_argument("--password")
    parser.add_argument("--password-env")
    parser.add_argument("--sheet", action="append",
                        help="sheet name, or NAME!RANGE; repeatable (default: all)")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--serve", action="store_true")
    args = parser.parse_args(argv)
    # Die cleanly (closing the office in `finally`) on the signals a test
    # runner or a shell sends.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(EXIT_ERROR))
    if args.serve:
        return serve(args)
    if not args.path or (args.password is None and not args.password_env):
        parser.error("a file and --password or --password-env are required")
    return run_one(args)


if __name__ == "__main__":
    sys.exit(main())
