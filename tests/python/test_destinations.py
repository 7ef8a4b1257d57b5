"""Destinations at the edges of atomic replacement, through the module and
the command line alike: failures after the rename, descriptors and other
files that are written in place, links that the kernel would not follow,
and what a killed process leaves behind. Failures of single system calls
are injected with the LD_PRELOAD library that scripts/test.sh builds."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from cli_helpers import PASSWORD, PtyProcess, built_tool, cli_path, run
from cli_helpers import password_file, workbook  # noqa: F401 (fixtures)
from oracle import decrypt

PREFIX = "called `Result::unwrap()` on an `Err` value: "
OLD = b"old destination bytes\n"

# One call of the module in a child process; a failure prints the
# exception's name and message and exits 3.
MODULE_CALL = textwrap.dedent("""
    import sys
    import cellvault
    try:
        cellvault.encrypt_excelfile(sys.argv[1], sys.argv[2], sys.argv[3])
    except BaseException as e:
        print(type(e).__name__, e.args[0])
        sys.exit(3)
""")


def faults(wanted: str) -> dict[str, str]:
    """The environment that injects the faults |wanted| into a child."""
    return {"LD_PRELOAD": built_tool("libcellvault_fault_inject.so"), "CELLVAULT_FAULTS": wanted}


def call_module(src: Path, dst: str, env: dict[str, str] | None = None,
                password: str = PASSWORD, prefix: tuple[str, ...] = (),
                **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*prefix, sys.executable, "-c", MODULE_CALL, str(src), dst, password],
                          env={**os.environ, **(env or {})}, capture_output=True, text=True,
                          timeout=120, check=False, **kwargs)


def encrypt_cli(password_file: Path, *args: str) -> list[str]:
    return ["encrypt", "--password-file", str(password_file), *args]


# -- the directory flush after the rename ------------------------------------

def test_failed_directory_flush_says_the_destination_was_replaced(
        tmp_path: Path, workbook, password_file: Path) -> None:
    src, plain = workbook
    out = tmp_path / "module.xlsx"
    out.write_bytes(OLD)
    done = call_module(src, str(out), faults("fsync-dir=5"))
    assert done.returncode == 3, done.stderr
    assert done.stdout == (
        f'PanicException {PREFIX}Custom {{ kind: Other, error: "{out} was replaced, '
        'but its directory could not be flushed to disk: Input/output error" }\n')
    assert decrypt(out, PASSWORD) == plain

    (tmp_path / "cli.xlsx").write_bytes(OLD)
    done = run(encrypt_cli(password_file, "--force", "report.xlsx", "cli.xlsx"), tmp_path,
               env=faults("fsync-dir=5"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cli.xlsx was replaced, but its directory could not be flushed to disk: "
        "Input/output error")
    assert decrypt(tmp_path / "cli.xlsx", PASSWORD) == plain
    assert sorted(os.listdir(tmp_path)) == ["cli.xlsx", "module.xlsx", "password.txt",
                                            "report.xlsx"]


# -- descriptors, FIFOs and devices: written in place, in order ---------------

def cli_to(password_file: Path, src: Path, output: str, stdout, *extra: str) -> int:
    """Runs the command with standard output sent to |stdout| (a file or a
    pipe) and returns its exit status."""
    return subprocess.run([cli_path(), *encrypt_cli(password_file, *extra, str(src), output)],
                          stdout=stdout, stderr=subprocess.PIPE, timeout=120,
                          check=False).returncode


@pytest.mark.parametrize("output", ["-", "/dev/stdout"])
def test_standard_output_gets_exactly_the_container(
        tmp_path: Path, workbook, password_file: Path, output: str) -> None:
    src, plain = workbook
    assert run(encrypt_cli(password_file, str(src), "regular.xlsx"), tmp_path).returncode == 0
    expected_size = (tmp_path / "regular.xlsx").stat().st_size
    # Through a pipe (| wc -c) ...
    piped = subprocess.run([cli_path(), *encrypt_cli(password_file, str(src), output)],
                           capture_output=True, timeout=120, check=False)
    assert piped.returncode == 0, piped.stderr
    assert len(piped.stdout) == expected_size
    (tmp_path / "piped.xlsx").write_bytes(piped.stdout)
    assert decrypt(tmp_path / "piped.xlsx", PASSWORD) == plain
    # ... and appended to a log (>> log.txt), whose old lines stay.
    log = tmp_path / "log.txt"
    log.write_bytes(b"earlier lines\n")
    with open(log, "ab") as out:
        assert cli_to(password_file, src, output, out) == 0
    data = log.read_bytes()
    assert data.startswith(b"earlier lines\n") and len(data) == 14 + expected_size
    (tmp_path / "appended.xlsx").write_bytes(data[14:])
    assert decrypt(tmp_path / "appended.xlsx", PASSWORD) == plain
    assert sorted(os.listdir(tmp_path)) == ["appended.xlsx", "log.txt", "password.txt",
                                            "piped.xlsx", "regular.xlsx", "report.xlsx"]


def test_standard_output_that_is_a_terminal_is_refused(tmp_path: Path, workbook,
                                                        password_file: Path) -> None:
    src, _ = workbook
    child = PtyProcess(encrypt_cli(password_file, str(src), "-"), tmp_path)
    try:
        assert child.wait() == 2
    finally:
        child.close()
    assert b"cellvault: not writing an encrypted workbook to a terminal" in child.seen


# The module writes to descriptors of its own process: a pipe that a thread
# drains, and a file deleted while open. Neither leaves a file behind.
DESCRIPTOR_CALLS = textwrap.dedent("""
    import os, sys, threading
    import cellvault
    src, workdir, pw = sys.argv[1:4]
    r, w = os.pipe()
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(r, 65536), b"")))
    reader.start()
    cellvault.encrypt_excelfile(src, f"/proc/self/fd/{w}", pw)
    os.close(w)
    reader.join()
    with open(os.path.join(workdir, "from-pipe.xlsx"), "wb") as f:
        f.write(b"".join(chunks))
    fd = os.open(os.path.join(workdir, "deleted.xlsx"), os.O_RDWR | os.O_CREAT)
    os.unlink(os.path.join(workdir, "deleted.xlsx"))
    cellvault.encrypt_excelfile(src, f"/proc/self/fd/{fd}", pw)
    data = os.pread(fd, 1 << 24, 0)
    print(sorted(os.listdir(workdir)))
    with open(os.path.join(workdir, "from-deleted.xlsx"), "wb") as f:
        f.write(data)
""")


def test_module_writes_to_its_own_descriptors(tmp_path: Path, workbook) -> None:
    src, plain = workbook
    work = tmp_path / "work"
    work.mkdir()
    done = subprocess.run([sys.executable, "-c", DESCRIPTOR_CALLS, str(src), str(work), "pw"],
                          capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "['from-pipe.xlsx']\n"  # no "deleted.xlsx (deleted)"
    assert decrypt(work / "from-pipe.xlsx", "pw") == plain
    assert decrypt(work / "from-deleted.xlsx", "pw") == plain


def test_fifo_destination_is_written_in_order(tmp_path: Path, workbook,
                                               password_file: Path) -> None:
    src, plain = workbook
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    for writer in ("module", "cli"):
        with subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE) as cat:
            if writer == "module":
                done = call_module(src, str(fifo))
                assert done.returncode == 0, done.stdout + done.stderr
            else:
                # The FIFO exists, so the command wants --force for it.
                assert run(encrypt_cli(password_file, str(src), str(fifo)),
                           tmp_path).returncode == 1
                assert run(encrypt_cli(password_file, "--force", str(src), str(fifo)),
                           tmp_path).returncode == 0
            data, _ = cat.communicate(timeout=60)
        (tmp_path / f"{writer}.xlsx").write_bytes(data)
        assert decrypt(tmp_path / f"{writer}.xlsx", PASSWORD) == plain
    assert fifo.is_fifo()


# -- links in sticky world-writable directories --------------------------------

NOBODY = 65534


def protected_symlinks_on(tmp_path: Path) -> tuple[str, ...]:
    """A prefix for a command that runs it with fs.protected_symlinks reading
    1: nothing where the setting is on, else a private mount namespace in
    which a file holding 1 covers the setting (the kernel's own rule stays
    off there, so what is tested is cellvault's)."""
    setting = Path("/proc/sys/fs/protected_symlinks")
    if setting.read_text().strip() != "0":
        return ()
    one = tmp_path / "one"
    one.write_text("1\n")
    script = f'mount --bind {one} {setting} && exec "$@"'
    probe = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", "true"],
                           capture_output=True, check=False)
    if probe.returncode != 0:
        pytest.skip("fs.protected_symlinks is off and cannot be faked here (unshare -m failed)")
    return ("unshare", "-m", "sh", "-c", script, "sh")


@pytest.mark.skipif(os.geteuid() != 0, reason="making another user's link needs root")
def test_link_that_another_user_planted_in_a_sticky_directory_is_not_followed(
        tmp_path: Path, workbook, password_file: Path) -> None:
    # The reported case: as root, /tmp/x/out.xlsx was another user's link to
    # a root-only file in a 0700 directory, which the output replaced.
    src, plain = workbook
    prefix = protected_symlinks_on(tmp_path)
    private = tmp_path / "private"
    private.mkdir(mode=0o700)
    secret = private / "secret.xlsx"
    secret.write_bytes(OLD)
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    planted = shared / "out.xlsx"
    planted.symlink_to(secret)
    os.lchown(planted, NOBODY, NOBODY)

    done = subprocess.run([*prefix, cli_path(), *encrypt_cli(password_file, "--force", str(src),
                                                            "shared/out.xlsx")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == (
        "cellvault: cannot write shared/out.xlsx: not following a symbolic link that another "
        "user owns in a sticky world-writable directory (the kernel's fs.protected_symlinks "
        "rule)")
    module = call_module(src, str(planted), prefix=prefix)
    assert module.returncode == 3
    assert "kind: PermissionDenied" in module.stdout
    assert secret.read_bytes() == OLD

    # The links that the kernel follows are followed: the follower's own,
    # and the directory owner's.
    os.lchown(planted, 0, 0)
    assert call_module(src, str(planted), prefix=prefix).returncode == 0
    assert decrypt(secret, PASSWORD) == plain
    os.chown(shared, NOBODY, NOBODY)
    (shared / "owners.xlsx").symlink_to(private / "owners.xlsx")
    os.lchown(shared / "owners.xlsx", NOBODY, NOBODY)
    assert call_module(src, str(shared / "owners.xlsx"), prefix=prefix).returncode == 0
    assert decrypt(private / "owners.xlsx", PASSWORD) == plain


# -- a writer killed half way ---------------------------------------------------

@pytest.mark.parametrize("fault", ["", "tmpfile=95"], ids=["unnamed", "named-fallback"])
def test_killed_command_leaves_no_temporary_file(tmp_path: Path, workbook,
                                                 password_file: Path, fault: str) -> None:
    # The writer stops at its first write into the output, is killed there,
    # and the directory must look as before. Where unnamed temporary files
    # cannot be made (EOPNOTSUPP injected) the named one that takes their
    # place is visible meanwhile, and a finished run still leaves nothing.
    src, plain = workbook
    out = tmp_path / "out"
    out.mkdir()
    (out / "report.xlsx").write_bytes(OLD)
    marker = tmp_path / "stalled"
    env = {**os.environ, **faults(",".join(filter(None, [fault, f"stall-write={marker}"])))}
    child = subprocess.Popen([cli_path(), *encrypt_cli(password_file, "--force", str(src),
                                                       "-o", str(out))],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not marker.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        assert marker.exists()
        during = sorted(os.listdir(out))
    finally:
        child.kill()
        child.wait()
    if fault:
        assert len(during) == 2 and during[0].startswith(".report.xlsx.")
    else:
        assert during == ["report.xlsx"]
        assert sorted(os.listdir(out)) == ["report.xlsx"]
    assert (out / "report.xlsx").read_bytes() == OLD

    for leftover in set(os.listdir(out)) - {"report.xlsx"}:
        (out / leftover).unlink()
    done = run(encrypt_cli(password_file, "--force", str(src), "-o", "out"), tmp_path,
               env=faults(fault) if fault else None)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["report.xlsx"]
    assert decrypt(out / "report.xlsx", PASSWORD) == plain


# -- files that no rename may replace --------------------------------------------

def test_bind_mounted_file_is_written_in_place(tmp_path: Path, workbook,
                                               password_file: Path) -> None:
    # A file mounted on its own (a container volume): renaming over it is
    # EBUSY, so the command writes it in place, into the mounted file.
    src, plain = workbook
    volume = tmp_path / "volume.xlsx"
    volume.write_bytes(OLD)
    inode = volume.stat().st_ino
    (tmp_path / "out.xlsx").write_bytes(OLD)
    script = 'mount --bind volume.xlsx out.xlsx && exec "$@"'
    if subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", "true"], cwd=tmp_path,
                      capture_output=True, check=False).returncode != 0:
        pytest.skip("cannot bind-mount a file here (unshare -m and mount --bind need root)")
    done = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", cli_path(),
                           *encrypt_cli(password_file, "--force", "report.xlsx", "out.xlsx")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert decrypt(volume, PASSWORD) == plain
    assert volume.stat().st_ino == inode
    assert (tmp_path / "out.xlsx").read_bytes() == OLD  # under the mount, untouched
    assert sorted(os.listdir(tmp_path)) == ["out.xlsx", "password.txt", "report.xlsx",
                                            "volume.xlsx"]


@pytest.mark.parametrize("error", [16, 1], ids=["EBUSY", "EPERM"])
def test_refused_rename_falls_back_to_writing_in_place(tmp_path: Path, workbook,
                                                       error: int) -> None:
    # Refusals that the checks before the work could not foresee.
    src, plain = workbook
    out = tmp_path / "out.xlsx"
    out.write_bytes(OLD * 5000)  # longer than the output: its tail must go
    inode = out.stat().st_ino
    done = call_module(src, str(out), faults(f"rename={error}"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert decrypt(out, PASSWORD) == plain
    assert out.stat().st_ino == inode
    assert sorted(os.listdir(tmp_path)) == ["out.xlsx", "report.xlsx"]


def test_replacing_a_file_with_other_hard_links_warns(tmp_path: Path, workbook,
                                                      password_file: Path) -> None:
    src, plain = workbook
    (tmp_path / "out.xlsx").write_bytes(OLD)
    os.link(tmp_path / "out.xlsx", tmp_path / "other-name.xlsx")
    done = run(encrypt_cli(password_file, "--force", "report.xlsx", "out.xlsx"), tmp_path)
    assert done.returncode == 0
    assert done.stderr.splitlines()[0] == (
        "cellvault: warning: out.xlsx has 1 other hard link, which keeps the old contents: "
        "only this name gets the encrypted file")
    assert decrypt(tmp_path / "out.xlsx", PASSWORD) == plain
    assert (tmp_path / "other-name.xlsx").read_bytes() == OLD
