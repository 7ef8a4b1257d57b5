"""`cellvault verify`, `cellvault decrypt` and `cellvault encrypt --verify`,
driven as a user would: the line each file gets, the exit status, and what
is (not) written. The files come from cellvault itself, from
msoffcrypto-tool's encryption and from locked_files (Agile and Standard
files of other parameters, proven by msoffcrypto-tool first); the reader's
own cases are in test_reader.py and the C++ tests."""

from __future__ import annotations

import io
import os
import struct
from pathlib import Path

import olefile
import pytest
from msoffcrypto.method.ecma376_agile import ECMA376Agile

import locked_files
from cli_helpers import (PASSWORD, PtyProcess, built_tool, cli_path, files_in,
                         interrupt_once_written, run)
from cli_helpers import password_file, workbook  # noqa: F401 (fixtures)
from workbooks import make_package

AGILE = "Agile, AES-256-CBC, SHA-512, 100000 spins"


def verify(paths: list[Path | str], cwd: Path, *extra: str, password: str = PASSWORD):
    return run(["verify", "--password-env", "PW", *extra, *map(str, paths)], cwd,
               env={"PW": password})


def decrypt(args: list[Path | str], cwd: Path, *, password: str = PASSWORD):
    return run(["decrypt", "--password-env", "PW", *map(str, args)], cwd, env={"PW": password})


def lock(src: Path, out: Path, *extra: str) -> None:
    done = run(["encrypt", "-q", "--password-env", "PW", *extra, str(src), str(out)], out.parent,
               env={"PW": PASSWORD})
    assert done.returncode == 0, done.stderr


# -- round trips --------------------------------------------------------------

@pytest.mark.parametrize("version", ["3", "4"])
@pytest.mark.parametrize("size", [
    10,                # in the mini stream of a version 3 container
    4096 * 3,          # whole 4096-byte segments
    (1 << 20) + 4097,  # past the reader's 1 MiB window, a segment and a byte
])
def test_what_encrypt_writes_verifies_and_decrypts(tmp_path: Path, version: str, size: int) -> None:
    src = tmp_path / "book.xlsx"
    plain = os.urandom(size)
    src.write_bytes(plain)
    locked = tmp_path / "locked.xlsx"
    lock(src, locked, "--container-version", version)
    done = verify([locked], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (f"{locked}: ok (integrity value matches; {AGILE}; "
                           f"container version {version})\n")
    assert done.stderr.startswith("cellvault: verified 1 file in ")
    done = decrypt([locked, "plain.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith("cellvault: decrypted 1 file in ")
    assert (tmp_path / "plain.xlsx").read_bytes() == plain
    assert files_in(tmp_path) == ["book.xlsx", "locked.xlsx", "plain.xlsx"]


def peer_files(d: Path, plain: bytes) -> dict[str, tuple[Path, str]]:
    """Files of independent writers, with the details their verify line
    shows."""
    out = {}

    def put(name: str, data: bytes, details: str) -> None:
        (d / name).write_bytes(data)
        out[name] = (d / name, details)

    put("msoffcrypto.xlsx", ECMA376Agile.encrypt(PASSWORD, io.BytesIO(plain)),
        f"ok (integrity value matches; {AGILE}; container version 3)")
    info, stream = locked_files.agile_streams(plain, PASSWORD, spins=10, integrity=False)
    put("no-integrity.xlsx", locked_files.container(info, stream),
        "ok, but it carries no integrity value to check (Agile, AES-256-CBC, SHA-512, "
        "10 spins; container version 3)")
    info, stream = locked_files.standard_streams(plain, PASSWORD)
    data = locked_files.container(info, stream)
    assert locked_files.peer_decrypt(data, PASSWORD, integrity=False) == plain
    put("standard.xlsx", data, "ok, but it carries no integrity value to check (Standard, "
                               "AES-128-ECB, SHA-1, 50000 spins; container version 3)")
    return out


def test_files_of_other_writers_verify_and_decrypt_in_one_run(tmp_path: Path) -> None:
    plain = make_package(tmp_path / "book.xlsx", size=30000, fill="peer")
    files = peer_files(tmp_path, plain)
    names = sorted(files)
    done = verify(names, tmp_path, "-j", "3")
    assert done.returncode == 0, done.stderr
    # In the order given, whatever order the jobs finish in.
    assert done.stdout.splitlines() == [f"{n}: {files[n][1]}" for n in names]
    (tmp_path / "out").mkdir()
    done = decrypt([*names, "--output-dir", "out", "-j", "2"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith(f"cellvault: decrypted {len(names)} files in ")
    for name in names:
        assert (tmp_path / "out" / name).read_bytes() == plain, name


# -- failures, told apart -----------------------------------------------------

def flip(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def package_offset(path: Path) -> int:
    """The file offset of the first byte of EncryptedPackage (regular
    sectors: the package is larger than the mini stream's cut-off)."""
    ole = olefile.OleFileIO(str(path))
    entry = ole.direntries[ole._find("EncryptedPackage")]
    assert entry.size >= 4096
    return (entry.isectStart + 1) * ole.sectorsize


def same_length(data: bytes, old: bytes, new: bytes) -> bytes:
    assert len(old) == len(new) and old in data
    return data.replace(old, new, 1)


CHANGED = "the file was changed after it was locked (its integrity value does not match)"
FAILURES = [
    # name, how the locked file is changed, the cause on its line
    ("wrong password", None, "wrong password"),
    ("package byte", lambda d, at: flip(d, at + 700), CHANGED),
    ("package size field", lambda d, at: flip(d, at), CHANGED),
    ("cipher", lambda d, at: same_length(d, b'cipherAlgorithm="AES"', b'cipherAlgorithm="RC4"'),
     'unsupported encryption: cipher "RC4"'),
    ("spin count", lambda d, at: same_length(d, b'spinCount="100000"', b'spinCount="1e+100"'),
     'damaged encryption descriptor: encryptedKey spinCount is not a number: "1e+100"'),
    ("container version", lambda d, at: d[:0x1A] + b"\x05\x00" + d[0x1C:],
     "damaged container: unknown compound file major version 5"),
    ("FAT loop", None, "damaged container: the FAT chain of stream EncryptedPackage loops back "
                       "to sector {s} after 1 sectors"),
    ("truncated", lambda d, at: d[:-3000],
     "damaged container: the FAT chain of stream EncryptedPackage points to sector "),
    ("plain ZIP", None, "not an encrypted Office file: it is a plain ZIP package, which is what "
                        "an unlocked workbook is"),
    ("empty file", lambda d, at: b"", "not an encrypted Office file: the file is empty"),
]


@pytest.fixture(scope="module")
def locked_book(tmp_path_factory) -> tuple[Path, bytes]:
    d = tmp_path_factory.mktemp("locked")
    plain = make_package(d / "book.xlsx", size=40000, fill="locked")
    lock(d / "book.xlsx", d / "locked.xlsx")
    return d / "locked.xlsx", plain


def broken_file(tmp_path: Path, locked: Path, plain: bytes, name: str, change) -> tuple[Path, str]:
    data = locked.read_bytes()
    at = package_offset(locked)
    out = tmp_path / "bad.xlsx"
    cause_args = {}
    if name == "plain ZIP":
        data = plain
    elif name == "FAT loop":
        # The FAT entry of the package's first sector made to point at itself.
        sector = (at // 512) - 1
        fat_at = (struct.unpack_from("<I", data, 0x4C)[0] + 1) * 512
        data = data[:fat_at + 4 * sector] + struct.pack("<I", sector) + data[fat_at + 4 * sector + 4:]
        cause_args["s"] = sector
    elif change is not None:
        data = change(data, at)
    out.write_bytes(data)
    return out, str(cause_args.get("s", ""))


@pytest.mark.parametrize("name, change, cause", FAILURES, ids=[f[0] for f in FAILURES])
def test_each_failure_has_its_line_and_writes_nothing(tmp_path: Path, locked_book, name: str,
                                                      change, cause: str) -> None:
    locked, plain = locked_book
    bad, sector = broken_file(tmp_path, locked, plain, name, change)
    cause = cause.format(s=sector)
    password = "not the password" if name == "wrong password" else PASSWORD
    done = verify([bad, locked], tmp_path, password=password)
    assert done.returncode == 1
    line, other = done.stdout.splitlines()
    assert line.startswith(f"{bad}: FAILED: {cause}"), line
    if name == "wrong password":
        assert other == f"{locked}: FAILED: wrong password"
    else:
        assert other.startswith(f"{locked}: ok (")
    assert done.stderr.startswith("cellvault: verified ")

    before = files_in(tmp_path)
    done = decrypt([bad, "plain.xlsx"], tmp_path, password=password)
    assert done.returncode == 1
    first, summary = done.stderr.splitlines()
    assert first.startswith(f"cellvault: cannot decrypt {bad}: {cause}"), first
    assert summary.startswith("cellvault: decrypted 0 of 1 file in ")
    assert files_in(tmp_path) == before  # no output, no temporary file


def test_ignore_integrity_decrypts_a_changed_file_and_says_so(tmp_path: Path, locked_book) -> None:
    locked, plain = locked_book
    data = locked.read_bytes()
    at = package_offset(locked) + 8 + 4096 * 3 + 5  # a byte of the fourth segment
    (tmp_path / "changed.xlsx").write_bytes(flip(data, at))
    done = decrypt(["changed.xlsx", "plain.xlsx"], tmp_path)
    assert done.stderr.splitlines()[0] == (
        f"cellvault: cannot decrypt changed.xlsx: {CHANGED} (use --ignore-integrity to decrypt "
        "it all the same)")
    done = decrypt(["--ignore-integrity", "changed.xlsx", "plain.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines()[0] == (
        f"cellvault: changed.xlsx: {CHANGED}; decrypted all the same, as --ignore-integrity asks")
    got = (tmp_path / "plain.xlsx").read_bytes()
    # Only the changed segment differs (CBC spreads the flip over that one).
    assert len(got) == len(plain) and got != plain
    assert got[:4096 * 3] == plain[:4096 * 3] and got[4096 * 4:] == plain[4096 * 4:]
    # An intact file gets no such line.
    done = decrypt(["--ignore-integrity", "-f", locked, "plain.xlsx"], tmp_path)
    assert done.returncode == 0 and done.stderr.startswith("cellvault: decrypted 1 file")
    assert (tmp_path / "plain.xlsx").read_bytes() == plain


# -- the rules shared with encrypt ------------------------------------------

def test_decrypt_keeps_existing_outputs_unless_forced_and_refuses_shared_files(
        tmp_path: Path, locked_book) -> None:
    locked, plain = locked_book
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "locked.xlsx").write_bytes(b"keep me")
    done = decrypt([locked, "-o", "out"], tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cannot write out/locked.xlsx: it already exists (use --force to replace it)")
    assert (tmp_path / "out" / "locked.xlsx").read_bytes() == b"keep me"
    done = decrypt([locked, "-o", "out", "--force"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out" / "locked.xlsx").read_bytes() == plain
    # In place: the input stays open for reading while its name is replaced.
    (tmp_path / "copy.xlsx").write_bytes(locked.read_bytes())
    done = decrypt(["-f", "copy.xlsx", "copy.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "copy.xlsx").read_bytes() == plain
    # An output that is another input of the run is refused before any work.
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.xlsx").write_bytes(locked.read_bytes())
    os.symlink("../in/a.xlsx", tmp_path / "out" / "b.xlsx")
    (tmp_path / "in" / "b.xlsx").write_bytes(locked.read_bytes())
    done = decrypt(["-f", "in/a.xlsx", "in/b.xlsx", "-o", "out"], tmp_path)
    assert done.returncode == 1
    assert ("cellvault: cannot write out/b.xlsx for in/b.xlsx: it is the same file as in/a.xlsx, "
            "another input") in done.stderr.splitlines()
    assert (tmp_path / "in" / "a.xlsx").read_bytes() == locked.read_bytes()


def test_an_interrupt_lets_the_files_in_progress_finish(tmp_path: Path, locked_book) -> None:
    locked, plain = locked_book
    count = 40  # each file costs a key derivation at -j1
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    for i in range(count):
        (tmp_path / "in" / f"b{i:02}.xlsx").write_bytes(locked.read_bytes())
    lines = interrupt_once_written(
        ["decrypt", "-j1", "--password-env", "PW",
         *sorted(str(p) for p in (tmp_path / "in").iterdir()), "-o", "out"],
        tmp_path, tmp_path / "out", env={"PW": PASSWORD})
    assert lines[0] == "cellvault: interrupted; the files in progress were finished"
    assert lines[1].startswith("cellvault: decrypted ") and lines[1].endswith(" not started")
    written = files_in(tmp_path / "out")  # complete files only, no temporary ones
    assert 1 <= len(written) < count
    assert written == [f"b{i:02}.xlsx" for i in range(len(written))]
    for name in written:
        assert (tmp_path / "out" / name).read_bytes() == plain


@pytest.mark.parametrize("command, rest", [("verify", []), ("decrypt", ["plain.xlsx"])])
def test_the_prompt_asks_once(tmp_path: Path, locked_book, command: str, rest: list[str]) -> None:
    locked, plain = locked_book
    proc = PtyProcess([command, str(locked), *rest], tmp_path)
    try:
        proc.expect(b"Password: ")
        proc.send(PASSWORD.encode() + b"\n")
        assert proc.wait() == 0, proc.seen
    finally:
        proc.close()
    assert b"Repeat" not in proc.seen and PASSWORD.encode() not in proc.seen
    if command == "decrypt":
        assert (tmp_path / "plain.xlsx").read_bytes() == plain


def test_verify_reads_a_list_and_passwords_from_a_file(tmp_path: Path, locked_book,
                                                       password_file: Path) -> None:
    locked, _ = locked_book
    (tmp_path / "list").write_bytes(f"{locked}\n\nmissing.xlsx\n".encode())
    done = run(["verify", "--password-file", str(password_file), "--files-from", "list"],
               tmp_path)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        f"{locked}: ok (integrity value matches; {AGILE}; container version 3)",
        "missing.xlsx: FAILED: cannot read it: No such file or directory"]
    assert done.stderr.startswith("cellvault: verified 1 of 2 files in ")
    assert done.stderr.endswith("; 1 failed\n")


@pytest.mark.parametrize("args, message", [
    (["verify"], "no FILE given"),
    (["verify", "-o", "d", "a"], "option '-o' is not an option of 'verify'"),
    (["decrypt", "a"], "no OUTPUT given (use --output-dir DIR to keep the input's name)"),
    (["decrypt", "a", "b", "c"], "too many files: to decrypt several inputs give --output-dir DIR"),
    (["decrypt", "--container-version", "4", "a", "b"],
     "option '--container-version' is not an option of 'decrypt'"),
    (["decrypt", "--files-from", "list"], "--files-from needs --output-dir DIR"),
    (["encrypt", "--ignore-integrity", "a", "b"],
     "option '--ignore-integrity' is not an option of 'encrypt'"),
])
def test_usage_errors_of_the_reading_commands(tmp_path: Path, args: list[str], message: str) -> None:
    done = run(args, tmp_path)
    assert done.returncode == 2
    first, second = done.stderr.splitlines()
    assert first.startswith(f"cellvault: {message}")
    assert second == f"Try 'cellvault {args[0]} --help' for more information."
    assert files_in(tmp_path) == []


# -- encrypt --verify ----------------------------------------------------------

def test_encrypt_verify_publishes_what_checks_out(tmp_path: Path, workbook) -> None:
    src, plain = workbook
    done = run(["encrypt", "--verify", "--password-env", "PW", "--container-version", "4",
                str(src), "locked.xlsx"], tmp_path, env={"PW": PASSWORD})
    assert done.returncode == 0, done.stderr
    assert verify(["locked.xlsx"], tmp_path).stdout.endswith("container version 4)\n")
    assert decrypt(["locked.xlsx", "again.xlsx"], tmp_path).returncode == 0
    assert (tmp_path / "again.xlsx").read_bytes() == plain


@pytest.mark.parametrize("where", ["package", "descriptor"])
def test_encrypt_verify_publishes_nothing_when_the_written_file_is_corrupted(
        tmp_path: Path, where: str) -> None:
    """flip_write.so flips one byte on its way to the temporary file, as a
    failing disk would: without --verify the damaged file is published,
    with it nothing is, and an old output stays as it was."""
    shim = built_tool("flip_write.so")
    src = tmp_path / "book.xlsx"
    make_package(src, size=20000, fill="flip")
    # The layout does not depend on the random values, so a first output
    # shows where the byte lies.
    lock(src, tmp_path / "reference.xlsx")
    ref = (tmp_path / "reference.xlsx").read_bytes()
    at = (package_offset(tmp_path / "reference.xlsx") + 100 if where == "package"
          else ref.index(b"<keyData") + 3)
    env = {"PW": PASSWORD, "LD_PRELOAD": shim, "CELLVAULT_FLIP_AT": str(at)}
    args = ["encrypt", "--password-env", "PW", str(src)]

    done = run([*args, "unchecked.xlsx"], tmp_path, env=env)
    assert done.returncode == 0, done.stderr  # the fault is real: it goes unseen
    assert verify(["unchecked.xlsx"], tmp_path).returncode == 1

    (tmp_path / "old.xlsx").write_bytes(b"old output")
    before = files_in(tmp_path)
    done = run([*args, "--verify", "-f", "old.xlsx"], tmp_path, env=env)
    assert done.returncode == 1
    cause = CHANGED if where == "package" else "damaged encryption descriptor: "
    assert done.stderr.splitlines()[0].startswith(
        f"cellvault: cannot encrypt {src}: the written file does not check out, so it was not "
        f"published: reading it back fails: {cause}"), done.stderr
    assert (tmp_path / "old.xlsx").read_bytes() == b"old output"
    assert files_in(tmp_path) == before  # no temporary file left


def test_encrypt_verify_refuses_an_output_written_in_place(tmp_path: Path, workbook) -> None:
    src, _ = workbook
    done = run(["encrypt", "--verify", "-f", "--password-env", "PW", str(src), "/dev/null"],
               tmp_path, env={"PW": PASSWORD})
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        f"cellvault: cannot encrypt {src}: the output is not a regular file, so it would be "
        "written in place and cannot be checked before it is published")


# -- LibreOffice's locked workbooks -------------------------------------------

# LibreOffice 7.4 (Debian 12) encrypts a workbook that it stores through UNO
# in the Excel 2007-365 format with the Standard encryption (AES-128 in ECB
# mode, SHA-1 with 50000 spins, so no integrity value) in a version 3
# container of two streams; its Agile export fails there (see
# lo_server.save_locked).
LIBREOFFICE_LINE = ("ok, but it carries no integrity value to check (Standard, AES-128-ECB, "
                    "SHA-1, 50000 spins; container version 3)")


@pytest.mark.libreoffice
def test_what_libreoffice_saves_with_a_password_verifies_and_decrypts(tmp_path: Path) -> None:
    from libreoffice import save_locked
    from workbooks import make_workbook, workbook_cells
    src = tmp_path / "book.xlsx"
    make_workbook(src, rows=500)
    locked = tmp_path / "lo-locked.xlsx"
    save_locked(src, locked, PASSWORD)
    assert olefile.OleFileIO(str(locked)).listdir() == [["EncryptedPackage"], ["EncryptionInfo"]]
    done = verify([locked], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == f"{locked}: {LIBREOFFICE_LINE}\n"
    assert verify([locked], tmp_path, password=PASSWORD + "x").stdout == (
        f"{locked}: FAILED: wrong password\n")
    done = decrypt([locked, "plain.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert workbook_cells(tmp_path / "plain.xlsx") == workbook_cells(src)
