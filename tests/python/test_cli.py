"""The installed `cellvault` command, driven as a user would: in a
subprocess, with the prompt on a pseudo-terminal. What it writes is checked
with independent readers (msoffcrypto-tool decrypts and verifies the HMAC,
olefile reads the container)."""

from __future__ import annotations

import importlib.metadata
import os
import subprocess
import termios
from pathlib import Path

import msoffcrypto
import pytest

from cli_helpers import PASSWORD, PtyProcess, cli_path, files_in, interrupt_once_written, run
from oracle import container, decrypt
from workbooks import make_package
from cli_helpers import password_file, workbook  # noqa: F401 (fixtures)

STREAMS = [["EncryptedPackage"], ["EncryptionInfo"]]


# -- texts and usage -------------------------------------------------------

def test_help_version_and_no_python_at_run_time(tmp_path: Path) -> None:
    main = run(["--help"], tmp_path)
    assert main.returncode == 0
    assert "encrypt" in main.stdout
    sub = run(["encrypt", "--help"], tmp_path)
    assert sub.returncode == 0
    for word in ("--output-dir", "--password-file", "--password-env", "--jobs",
                 "--force", "--container-version", "512-byte", "4096-byte",
                 "LibreOffice", "--files-from", "--null", "130"):
        assert word in sub.stdout, word
    version = run(["--version"], tmp_path)
    assert version.stdout == f"cellvault {importlib.metadata.version('cellvault')}\n"
    # A native program: it runs with an empty environment and links no
    # Python library.
    bare = subprocess.run([cli_path(), "--version"], env={}, capture_output=True,
                          check=False)
    assert bare.returncode == 0
    libs = subprocess.run(["ldd", cli_path()], capture_output=True, text=True,
                          check=False).stdout
    assert "libpython" not in libs


@pytest.mark.parametrize("args, message", [
    ([], "no command given"),
    (["unlock", "a", "b"], "unknown command 'unlock'"),
    (["encrypt"], "no INPUT and OUTPUT given"),
    (["encrypt", "a.xlsx"], "no OUTPUT given (use --output-dir DIR to keep the input's name)"),
    (["encrypt", "a", "b", "c"], "too many files: to encrypt several inputs give --output-dir DIR"),
    (["encrypt", "--output-dir", "out"], "no INPUT file given"),
    (["encrypt", "--jobs", "0", "a", "b"], "--jobs needs a whole number from 1 to 1024, not '0'"),
    (["encrypt", "-j", "2x", "a", "b"], "--jobs needs a whole number from 1 to 1024, not '2x'"),
    (["encrypt", "--container-version=5", "a", "b"], "--container-version must be 3 or 4, not '5'"),
    (["encrypt", "--password-file", "f", "--password-env", "E", "a", "b"],
     "--password-file and --password-env cannot be used together"),
    (["encrypt", "--colour", "a", "b"], "unknown option '--colour'"),
    (["encrypt", "-x", "a", "b"], "unknown option '-x'"),
    (["encrypt", "a", "b", "--jobs"], "option '--jobs' needs a value"),
    (["encrypt", "--force=yes", "a", "b"], "option '--force' takes no value"),
    # An option that takes a value is given once: which one was meant?
    (["encrypt", "-o", "A", "-o", "B", "a"], "option '--output-dir' is given more than once"),
    (["encrypt", "--jobs=2", "-j3", "a", "b"], "option '--jobs' is given more than once"),
    (["encrypt", "--container-version", "4", "--container-version=3", "a", "b"],
     "option '--container-version' is given more than once"),
    (["encrypt", "--password-file", "f", "--password-file", "g", "a", "b"],
     "option '--password-file' is given more than once"),
    (["encrypt", "--files-from", "f", "--files-from", "g", "-o", "d"],
     "option '--files-from' is given more than once"),
    (["encrypt", "--files-from", "list"], "--files-from needs --output-dir DIR"),
    (["encrypt", "--null", "-o", "d", "a"], "--null needs --files-from FILE"),
    (["encrypt", "--files-from", "-", "--password-file", "-", "-o", "d"],
     "--files-from - and --password-file - cannot both read standard input"),
    (["encrypt", "-", "-o", "d"], "INPUT - (standard input) needs an OUTPUT, not --output-dir"),
    (["encrypt", "--password-file", "-", "-", "out.xlsx"],
     "INPUT - and --password-file - cannot both read standard input"),
])
def test_usage_errors_exit_2_and_touch_nothing(tmp_path: Path, args: list[str],
                                               message: str) -> None:
    done = run(args, tmp_path, env={"E": "x"})
    assert done.returncode == 2
    first, second = done.stderr.splitlines()
    assert first == f"cellvault: {message}"
    assert second.startswith("Try 'cellvault ")
    assert files_in(tmp_path) == []


@pytest.mark.parametrize("args", [
    ["--password", "hunter2"], ["--password=hunter2"], ["-p", "hunter2"], ["-phunter2"],
])
def test_password_on_command_line_is_refused_and_not_echoed(
        tmp_path: Path, workbook: tuple[Path, bytes], args: list[str]) -> None:
    src, _ = workbook
    done = run(["encrypt", *args, str(src), "out.xlsx"], tmp_path)
    assert done.returncode == 2
    assert "process list" in done.stderr
    assert "hunter2" not in done.stderr
    assert not (tmp_path / "out.xlsx").exists()


# -- what is written -------------------------------------------------------

@pytest.mark.parametrize("option, version, sector", [
    ([], 3, 512),
    (["--container-version", "3"], 3, 512),
    (["--container-version", "4"], 4, 4096),
])
def test_output_decrypts_in_the_chosen_container(
        tmp_path: Path, workbook: tuple[Path, bytes], password_file: Path,
        option: list[str], version: int, sector: int) -> None:
    src, plain = workbook
    out = tmp_path / "locked.xlsx"
    done = run(["encrypt", *option, "--password-file", str(password_file),
                str(src), str(out)], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert done.stderr.startswith("cellvault: encrypted 1 file in ")
    assert container(out) == (version, sector, STREAMS)
    assert decrypt(out, PASSWORD) == plain
    with pytest.raises(msoffcrypto.exceptions.InvalidKeyError):
        decrypt(out, PASSWORD + "x")


def test_input_from_standard_input_and_a_streamed_large_file(
        tmp_path: Path, password_file: Path) -> None:
    # '-' reads the package from a pipe; a file over one chunk (4 MiB) is
    # encrypted as it is read. Both decrypt to their bytes, HMAC checked.
    small = make_package(tmp_path / "small.xlsx", fill="piped")
    large = make_package(tmp_path / "large.xlsx", fill="streamed", size=5 * 2**20 + 4097)
    done = run(["encrypt", "--password-file", str(password_file), "-", "piped.xlsx"],
               tmp_path, stdin=small)
    assert done.returncode == 0, done.stderr
    assert decrypt(tmp_path / "piped.xlsx", PASSWORD) == small
    done = run(["encrypt", "--password-file", str(password_file),
                "large.xlsx", "large.locked.xlsx"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert container(tmp_path / "large.locked.xlsx") == (3, 512, STREAMS)
    assert decrypt(tmp_path / "large.locked.xlsx", PASSWORD) == large


@pytest.mark.parametrize("content, stdin, password", [
    (b"pw\n", None, "pw"),                # one newline is removed ...
    (b"pw\r\n", None, "pw"),              # ... also in its Windows form
    (b"pw\n\n", None, "pw\n"),            # ... but only one
    (b" pw ", None, " pw "),              # spaces are part of the password
    (None, b"from stdin\n", "from stdin"),  # '-' reads standard input
])
def test_password_file_forms(tmp_path: Path, workbook: tuple[Path, bytes],
                             content: bytes | None, stdin: bytes | None,
                             password: str) -> None:
    src, plain = workbook
    if content is None:
        source = "-"
    else:
        (tmp_path / "pw").write_bytes(content)
        source = str(tmp_path / "pw")
    done = run(["encrypt", "--password-file", source, str(src), "out.xlsx"], tmp_path,
               stdin=stdin or b"")
    assert done.returncode == 0, done.stderr
    assert decrypt(tmp_path / "out.xlsx", password) == plain


def test_password_from_environment(tmp_path: Path, workbook: tuple[Path, bytes]) -> None:
    src, plain = workbook
    done = run(["encrypt", "--password-env", "REPORT_PW", str(src), "out.xlsx"],
               tmp_path, env={"REPORT_PW": PASSWORD})
    assert done.returncode == 0, done.stderr
    assert decrypt(tmp_path / "out.xlsx", PASSWORD) == plain


@pytest.mark.parametrize("setup, args, message", [
    ({"pw": b""}, ["--password-file", "pw"], "the password in pw is empty"),
    ({"pw": b"\n"}, ["--password-file", "pw"], "the password in pw is empty"),
    *[({"pw": bad}, ["--password-file", "pw"], "the password in pw is not valid UTF-8 text")
      # stray byte, overlong "/", a UTF-16 surrogate, above U+10FFFF, cut short
      for bad in (b"\xff", b"a\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82")],
    ({"pw": b"x" * 70000}, ["--password-file", "pw"],
     "password file pw is larger than 65536 bytes; it does not look like a password"),
    ({}, ["--password-file", "nope"],
     "cannot read password file nope: No such file or directory"),
    ({}, ["--password-env", "CELLVAULT_TEST_UNSET"],
     "environment variable CELLVAULT_TEST_UNSET is not set"),
])
def test_password_source_errors_exit_2(tmp_path: Path, workbook: tuple[Path, bytes],
                                       setup: dict[str, bytes], args: list[str],
                                       message: str) -> None:
    src, _ = workbook
    for name, content in setup.items():
        (tmp_path / name).write_bytes(content)
    assert "CELLVAULT_TEST_UNSET" not in os.environ
    done = run(["encrypt", *args, str(src), "out.xlsx"], tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"cellvault: {message}\n"
    assert not (tmp_path / "out.xlsx").exists()


def test_without_terminal_or_password_source_it_says_what_to_use(
        tmp_path: Path, workbook: tuple[Path, bytes]) -> None:
    src, _ = workbook
    done = run(["encrypt", str(src), "out.xlsx"], tmp_path)  # new session: no /dev/tty
    assert done.returncode == 2
    assert done.stderr.startswith("cellvault: no terminal to ask for the password (")
    assert done.stderr.endswith("); use --password-file FILE or --password-env NAME\n")
    assert not (tmp_path / "out.xlsx").exists()


# -- the prompt on a terminal ----------------------------------------------

def test_prompt_asks_twice_without_echo(tmp_path: Path,
                                        workbook: tuple[Path, bytes]) -> None:
    src, plain = workbook
    proc = PtyProcess(["encrypt", str(src), "out.xlsx"], tmp_path)
    try:
        proc.expect(b"Password: ")
        assert not termios.tcgetattr(proc.fd)[3] & termios.ECHO
        proc.send(PASSWORD.encode() + b"\n")
        proc.expect(b"Repeat password: ")
        proc.send(PASSWORD.encode() + b"\n")
        assert proc.wait() == 0, proc.seen
    finally:
        proc.close()
    assert PASSWORD.encode() not in proc.seen
    assert b"encrypted 1 file in " in proc.seen
    assert decrypt(tmp_path / "out.xlsx", PASSWORD) == plain


def test_prompt_asks_again_after_a_mismatch(tmp_path: Path,
                                            workbook: tuple[Path, bytes]) -> None:
    src, plain = workbook
    proc = PtyProcess(["encrypt", str(src), "out.xlsx"], tmp_path)
    try:
        answers = ((b"first", b"second"), (b"typo", b"typp"),
                   (PASSWORD.encode(), PASSWORD.encode()))
        for attempt, (first, second) in enumerate(answers, start=1):
            proc.expect(b"Password: ", count=attempt)
            proc.send(first + b"\n")
            proc.expect(b"Repeat password: ", count=attempt)
            proc.send(second + b"\n")
        assert proc.wait() == 0, proc.seen
    finally:
        proc.close()
    assert proc.seen.count(b"The two passwords do not match; try again.") == 2
    assert decrypt(tmp_path / "out.xlsx", PASSWORD) == plain


def test_prompt_gives_up_after_three_mismatches(
        tmp_path: Path, workbook: tuple[Path, bytes]) -> None:
    src, _ = workbook
    proc = PtyProcess(["encrypt", str(src), "out.xlsx"], tmp_path)
    try:
        for attempt in range(1, 4):
            proc.expect(b"Password: ", count=attempt)
            proc.send(b"first\n")
            proc.expect(b"Repeat password: ", count=attempt)
            proc.send(b"second\n")
        assert proc.wait() == 2
        assert termios.tcgetattr(proc.fd)[3] & termios.ECHO
    finally:
        proc.close()
    assert proc.seen.endswith(b"\r\ncellvault: the two passwords do not match\r\n")
    assert not (tmp_path / "out.xlsx").exists()


@pytest.mark.parametrize("keys, status, shown", [
    # Ctrl-C: SIGINT ends it, as it would without the prompt
    (b"\x03", -2, b"Password: \r\n"),
    # Ctrl-D: input ends; the message starts on a line of its own
    (b"\x04", 2, b"Password: \r\ncellvault: no password entered\r\n"),
])
def test_prompt_interrupted_restores_echo(tmp_path: Path, workbook: tuple[Path, bytes],
                                          keys: bytes, status: int, shown: bytes) -> None:
    src, _ = workbook
    proc = PtyProcess(["encrypt", str(src), "out.xlsx"], tmp_path)
    try:
        proc.expect(b"Password: ")
        assert not termios.tcgetattr(proc.fd)[3] & termios.ECHO
        proc.send(keys)
        assert proc.wait() == status
        assert termios.tcgetattr(proc.fd)[3] & termios.ECHO
    finally:
        proc.close()
    assert proc.seen.endswith(shown), proc.seen
    assert not (tmp_path / "out.xlsx").exists()


# -- many files --------------------------------------------------------------

def test_many_files_into_a_directory_in_parallel(tmp_path: Path,
                                                 password_file: Path) -> None:
    names = [f"book{i}.xlsx" for i in range(5)]
    (tmp_path / "in").mkdir()
    plains = {name: make_package(tmp_path / "in" / name, fill=name) for name in names}
    (tmp_path / "out").mkdir()
    inputs = [f"in/{name}" for name in names]
    done = run(["encrypt", "--jobs", "3", "--password-file", str(password_file),
                *inputs[:2], "in/missing.xlsx", *inputs[2:], "--output-dir", "out"],
               tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "cellvault: cannot read in/missing.xlsx: No such file or directory",
        done.stderr.splitlines()[-1],
    ]
    assert done.stderr.splitlines()[-1].startswith("cellvault: encrypted 5 of 6 files in ")
    assert done.stderr.endswith(" s; 1 failed\n")
    assert "\r" not in done.stderr  # no progress bar when stderr is no terminal
    assert files_in(tmp_path / "out") == names
    for name in names:
        assert container(tmp_path / "out" / name)[:2] == (3, 512)
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plains[name]


def test_interrupt_finishes_files_in_progress_and_starts_no_more(
        tmp_path: Path, password_file: Path) -> None:
    count = 40  # at -j1 each file costs a full key derivation, so seconds in all
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    plain = make_package(tmp_path / "in" / "b00.xlsx", fill="same")
    for i in range(1, count):
        (tmp_path / "in" / f"b{i:02}.xlsx").write_bytes(plain)
    lines = interrupt_once_written(
        ["encrypt", "-j1", "--password-file", str(password_file),
         *sorted(str(p) for p in (tmp_path / "in").iterdir()), "-o", "out"],
        tmp_path, tmp_path / "out")
    assert lines[0] == "cellvault: interrupted; the files in progress were finished"
    assert lines[1].endswith(" not started")
    written = files_in(tmp_path / "out")  # no temporary files among them
    assert 1 <= len(written) < count
    assert written == [f"b{i:02}.xlsx" for i in range(len(written))]
    for name in written:
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plain


def test_existing_output_is_kept_unless_forced(tmp_path: Path,
                                               workbook: tuple[Path, bytes],
                                               password_file: Path) -> None:
    src, plain = workbook
    (tmp_path / "out").mkdir()
    other = tmp_path / "other.xlsx"
    make_package(other, fill="other")
    (tmp_path / "out" / "report.xlsx").write_bytes(b"keep me")
    args = ["encrypt", "--password-file", str(password_file), str(src), str(other)]
    done = run([*args, "-o", "out"], tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cannot write out/report.xlsx: it already exists "
        "(use --force to replace it)")
    assert (tmp_path / "out" / "report.xlsx").read_bytes() == b"keep me"
    assert decrypt(tmp_path / "out" / "other.xlsx", PASSWORD) == other.read_bytes()

    done = run([*args, "-o", "out", "--force"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert decrypt(tmp_path / "out" / "report.xlsx", PASSWORD) == plain
    assert files_in(tmp_path / "out") == ["other.xlsx", "report.xlsx"]  # no temporaries left

    # In place: the input is read whole before its name is replaced.
    done = run(["encrypt", "-f", "--password-file", str(password_file), str(src), str(src)],
               tmp_path)
    assert done.returncode == 0, done.stderr
    assert decrypt(src, PASSWORD) == plain


def test_same_name_from_two_folders_is_not_overwritten(tmp_path: Path,
                                                       password_file: Path) -> None:
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        make_package(tmp_path / folder / "x.xlsx", fill=folder)
    (tmp_path / "out").mkdir()
    done = run(["encrypt", "--force", "--password-file", str(password_file),
                "a/x.xlsx", "b/x.xlsx", "-o", "out"], tmp_path)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cannot write out/x.xlsx for b/x.xlsx: it is already the output of a/x.xlsx")
    assert decrypt(tmp_path / "out" / "x.xlsx", PASSWORD) == (tmp_path / "a" / "x.xlsx").read_bytes()


def linked_directory(d: Path) -> None:
    (d / "dd").mkdir()
    (d / "linkdir").symlink_to("dd")


@pytest.mark.parametrize("prepare, args, message", [
    (lambda d: (d / "dir").mkdir(), ["dir", "out.xlsx"], "cannot read dir: Is a directory"),
    (lambda d: (d / "dd").mkdir(), ["--force", "report.xlsx", "dd"],
     "cannot write dd: it is a directory (use --output-dir DIR to write into it)"),
    # Through a link, and without --force, the same answer: --force would
    # not help.
    (linked_directory, ["--force", "report.xlsx", "linkdir"],
     "cannot write linkdir: it is a directory (use --output-dir DIR to write into it)"),
    (linked_directory, ["report.xlsx", "linkdir"],
     "cannot write linkdir: it is a directory (use --output-dir DIR to write into it)"),
])
def test_one_line_per_failure_naming_file_and_cause(
        tmp_path: Path, workbook: tuple[Path, bytes], password_file: Path,
        prepare, args: list[str], message: str) -> None:
    prepare(tmp_path)
    before = files_in(tmp_path)
    done = run(["encrypt", "--password-file", str(password_file), *args], tmp_path)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert lines[0] == f"cellvault: {message}"
    assert lines[1].startswith("cellvault: encrypted 0 of 1 file in ")
    assert len(lines) == 2
    assert files_in(tmp_path) == before


def test_progress_bar_when_stderr_is_a_terminal(tmp_path: Path,
                                                password_file: Path) -> None:
    for i in range(3):
        make_package(tmp_path / f"b{i}.xlsx", fill=str(i))
    (tmp_path / "out").mkdir()
    master, slave = os.openpty()
    try:
        proc = subprocess.run(
            [cli_path(), "encrypt", "--password-file", str(password_file), "-j", "2",
             "b0.xlsx", "b1.xlsx", "nope.xlsx", "b2.xlsx", "-o", "out"],
            cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=slave, timeout=120, check=False)
        os.close(slave)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(master)
    assert proc.returncode == 1
    text = shown.decode()
    assert "] 4/4" in text
    assert "\r\x1b[Kcellvault: cannot read nope.xlsx: No such file or directory" in text
    # The bar is cleared before the summary, which stands on a clean line.
    assert "\r\x1b[Kcellvault: encrypted 3 of 4 files in " in text
    assert files_in(tmp_path / "out") == ["b0.xlsx", "b1.xlsx", "b2.xlsx"]
