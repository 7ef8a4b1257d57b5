"""Batches through the `cellvault` command: the keys of a worker's group of
files are derived together in the lanes of a SHA-512 kernel, and the
group's outputs share their directories' flushes. Whatever the kernel and
the grouping, every good file must come out right (msoffcrypto-tool
decrypts and checks it) and every failing one must cost exactly its own
line, never a neighbour in its group."""

from __future__ import annotations

import resource
import signal
from pathlib import Path

import pytest

from cli_helpers import PASSWORD, files_in, run
from oracle import decrypt
from workbooks import make_package
from cli_helpers import password_file  # noqa: F401 (fixture)

KERNELS = ["portable", "avx2", "avx512x8", "avx512x16"]
# Larger than the file size limit that test_a_write_failing_after_the_keys
# sets; the other workbooks stay well below it.
BIG = 300_000
LIMIT = 200_000


def forced(kernel: str, tmp_path: Path, **extra: str) -> dict[str, str]:
    """The environment that forces |kernel|; skips the test when this
    processor (or build) cannot run it, as the command says."""
    env = {"CELLVAULT_SHA512_KERNEL": kernel, **extra}
    probe = run(["encrypt", "--password-env", "PW", "missing.xlsx", "out.xlsx"],
                tmp_path, env={**env, "PW": PASSWORD})
    if probe.returncode == 2:
        pytest.skip(probe.stderr.strip())
    return env


def mixed_batch(tmp_path: Path, good: int) -> tuple[list[str], dict[str, bytes], set[str]]:
    """Inputs in in/ for out/: |good| workbooks with the failing ones
    spread among them. Returns (arguments, plain bytes by output name, the
    error lines expected)."""
    (tmp_path / "in").mkdir()
    (tmp_path / "other").mkdir()
    (tmp_path / "out").mkdir()
    plains: dict[str, bytes] = {}
    args: list[str] = []
    for i in range(good):
        name = f"b{i:02}.xlsx"
        plains[name] = make_package(tmp_path / "in" / name, fill=name)
        args.append(f"in/{name}")
    # A missing input, a directory as input, an output that exists (no
    # --force), and a second input of an earlier output's name.
    (tmp_path / "in" / "folder.xlsx").mkdir()
    make_package(tmp_path / "in" / "kept.xlsx", fill="kept")
    (tmp_path / "out" / "kept.xlsx").write_bytes(b"keep me")
    make_package(tmp_path / "other" / "b01.xlsx", fill="other")
    failing = ["in/missing.xlsx", "in/folder.xlsx", "in/kept.xlsx", "other/b01.xlsx"]
    for k, arg in enumerate(failing):
        args.insert(1 + 3 * k, arg)
    errors = {
        "cellvault: cannot read in/missing.xlsx: No such file or directory",
        "cellvault: cannot read in/folder.xlsx: Is a directory",
        "cellvault: cannot write out/kept.xlsx: it already exists (use --force to replace it)",
        "cellvault: cannot write out/b01.xlsx for other/b01.xlsx: it is already the output "
        "of in/b01.xlsx",
    }
    return args, plains, errors


def check_outputs(tmp_path: Path, plains: dict[str, bytes]) -> None:
    assert files_in(tmp_path / "out") == sorted([*plains, "kept.xlsx"])  # no temporaries
    assert (tmp_path / "out" / "kept.xlsx").read_bytes() == b"keep me"
    for name, plain in plains.items():
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plain, name


# 13 files on 2 workers make groups of 7 and 6: partial for every kernel
# with lanes, and on one lane a group per file. On one worker, 13 files
# make one group of up to 16.
@pytest.mark.parametrize("jobs", ["2", "1"])
@pytest.mark.parametrize("kernel", KERNELS)
def test_mixed_batch_under_each_kernel(tmp_path: Path, password_file: Path,
                                       kernel: str, jobs: str) -> None:
    env = forced(kernel, tmp_path)
    args, plains, errors = mixed_batch(tmp_path, good=9)
    done = run(["encrypt", "--jobs", jobs, "--password-file", str(password_file), *args,
                "--output-dir", "out"], tmp_path, env=env)
    assert done.returncode == 1, done.stderr
    lines = done.stderr.splitlines()
    assert sorted(lines[:-1]) == sorted(errors)
    assert lines[-1].startswith("cellvault: encrypted 9 of 13 files in ")
    assert lines[-1].endswith(" s; 4 failed")
    check_outputs(tmp_path, plains)


@pytest.mark.parametrize("group_commit", ["on", "off"])
def test_a_write_failing_after_the_keys_fails_only_its_file(
        tmp_path: Path, password_file: Path, group_commit: str) -> None:
    # The big workbook passes every check before the keys are derived and
    # fails only when its output outgrows the file size limit, in the
    # middle of its group (one worker, 4 lanes: groups of 4 and 1).
    env = forced("avx2", tmp_path, CELLVAULT_GROUP_COMMIT=group_commit)
    (tmp_path / "out").mkdir()
    plains = {}
    args = []
    for i in range(5):
        name = f"b{i}.xlsx"
        plains[name] = make_package(tmp_path / name, size=BIG if i == 1 else 2000, fill=name)
        args.append(name)
    big = plains.pop("b1.xlsx")
    assert len(big) > LIMIT

    def limit_file_size() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))

    done = run(["encrypt", "-j1", "--password-file", str(password_file), *args, "-o", "out"],
               tmp_path, env=env, before_exec=limit_file_size)
    assert done.returncode == 1, done.stderr
    lines = done.stderr.splitlines()
    assert lines[0] == "cellvault: cannot write out/b1.xlsx: File too large"
    assert lines[1].startswith("cellvault: encrypted 4 of 5 files in ")
    assert len(lines) == 2
    assert files_in(tmp_path / "out") == sorted(plains)
    for name, plain in plains.items():
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plain, name


@pytest.mark.parametrize("variable, value, message", [
    ("CELLVAULT_SHA512_KERNEL", "sse9", "CELLVAULT_SHA512_KERNEL"),
    ("CELLVAULT_GROUP_COMMIT", "sometimes",
     'CELLVAULT_GROUP_COMMIT: "sometimes" is neither on nor off'),
])
def test_a_bad_setting_is_refused_before_any_work(tmp_path: Path, password_file: Path,
                                                  variable: str, value: str,
                                                  message: str) -> None:
    make_package(tmp_path / "a.xlsx")
    done = run(["encrypt", "--password-file", str(password_file), "a.xlsx", "b.xlsx"],
               tmp_path, env={variable: value})
    assert done.returncode == 2
    assert done.stderr.startswith("cellvault: " + message)
    assert len(done.stderr.splitlines()) == 1
    assert files_in(tmp_path) == ["a.xlsx", "password.txt"]


def test_groups_shrink_to_the_descriptors_there_are(tmp_path: Path,
                                                    password_file: Path) -> None:
    # 40 files on 2 workers would make groups of 16, whose sources, outputs
    # and directories (with those of the group being committed) need more
    # descriptors than the 48 allowed here: the groups must shrink rather
    # than files fail.
    env = forced("avx512x16", tmp_path)
    (tmp_path / "out").mkdir()
    plains = {f"b{i:02}.xlsx": make_package(tmp_path / f"b{i:02}.xlsx", fill=str(i))
              for i in range(40)}

    def few_descriptors() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48))

    done = run(["encrypt", "-j2", "--password-file", str(password_file), *plains, "-o", "out"],
               tmp_path, env=env, before_exec=few_descriptors)
    assert done.returncode == 0, done.stderr
    assert files_in(tmp_path / "out") == sorted(plains)
    for name, plain in plains.items():
        assert decrypt(tmp_path / "out" / name, PASSWORD) == plain, name


@pytest.mark.parametrize("group_commit", ["on", "off"])
def test_large_files_of_a_group_stream_under_the_groups_keys(
        tmp_path: Path, password_file: Path, group_commit: str) -> None:
    # Packages past the 4 MiB chunk are streamed into their containers with
    # the keys their group derived in the lanes, beside files read whole;
    # both container versions' readers must get every package back.
    env = forced("avx512x8", tmp_path, CELLVAULT_GROUP_COMMIT=group_commit)
    (tmp_path / "out").mkdir()
    plains = {}
    for i, size in enumerate([5_000_000, 2000, 9_437_185, 4096 * 1024 + 1]):
        name = f"s{i}.xlsx"
        plains[name] = make_package(tmp_path / name, size=size, fill=name)
    for version in ["3", "4"]:
        done = run(["encrypt", "-j1", "--force", "--container-version", version,
                    "--password-file", str(password_file), *plains, "-o", "out"],
                   tmp_path, env=env)
        assert done.returncode == 0, done.stderr
        assert files_in(tmp_path / "out") == sorted(plains)  # no temporaries
        for name, plain in plains.items():
            assert decrypt(tmp_path / "out" / name, PASSWORD) == plain, (version, name)
