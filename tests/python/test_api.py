"""The Python face of cellvault: module surface, argument binding and
conversion, failures, the failure report and threads.

Run against the installed package (from outside the source tree).
"""

import importlib.util
import io
import os
import re
import pathlib
import subprocess
import sys
import threading
import time

import msoffcrypto
import pytest

import cellvault
import oracle
from workbooks import make_package

encrypt = cellvault.encrypt_excelfile

UNWRAP_PREFIX = "called `Result::unwrap()` on an `Err` value: "
CFB_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


def assert_encrypted(dst, plain, password):
    """An independent reader opens |dst| with |password| and gets |plain|."""
    assert dst.read_bytes()[:8] == CFB_SIGNATURE
    assert oracle.decrypt(dst, password) == plain


@pytest.fixture
def src(tmp_path):
    path = tmp_path / "in.xlsx"
    make_package(path)
    return path


def run_python(code, **env):
    """Runs |code| in a fresh interpreter; returns the completed process."""
    full_env = {k: v for k, v in os.environ.items() if k != "CELLVAULT_BACKTRACE"}
    full_env.update(env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, env=full_env, timeout=120, check=False)


def test_module_surface():
    assert cellvault.__all__ == ["encrypt_excelfile"]
    assert type(cellvault.__all__) is list
    assert cellvault.__doc__ == ""
    assert encrypt.__name__ == "encrypt_excelfile"
    assert encrypt.__module__ == "cellvault"
    assert encrypt.__self__ is cellvault
    assert encrypt.__text_signature__ is None
    assert not hasattr(cellvault, "PanicException")


def test_second_initialisation_fails():
    fresh = importlib.util.spec_from_file_location("cellvault", cellvault.__file__)
    with pytest.raises(ImportError, match="only be initialized once"):
        importlib.util.module_from_spec(fresh)
    assert sys.modules["cellvault"] is cellvault


@pytest.mark.parametrize("call", [
    lambda s, d, p: encrypt(s, d, p),
    lambda s, d, p: encrypt(from_path=s, to_path=d, password=p),
    lambda s, d, p: encrypt(password=p, from_path=s, to_path=d),
    lambda s, d, p: encrypt(to_path=d, password=p, from_path=s),
    lambda s, d, p: encrypt(s, password=p, to_path=d),
    lambda s, d, p: encrypt(s, d, password=p),
], ids=["positional", "keywords", "keywords-pfs", "keywords-tpf", "mixed-1", "mixed-2"])
def test_binding_by_position_and_keyword(tmp_path, src, call):
    dst = tmp_path / "out.xlsx"
    assert call(str(src), str(dst), "Secret-1") is None
    assert_encrypted(dst, src.read_bytes(), "Secret-1")


def test_str_subclasses_and_special_passwords(tmp_path, src):
    class Text(str):
        pass

    plain = src.read_bytes()
    for i, password in enumerate(["", "pässwörd ✓ 𝄞", Text("sub")]):
        dst = tmp_path / f"out{i}.xlsx"
        assert encrypt(Text(str(src)), Text(str(dst)), password) is None
        assert_encrypted(dst, plain, str(password))


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "encrypt_excelfile() missing 3 required positional arguments: "
             "'from_path', 'to_path', and 'password'"),
    (("a",), {}, "encrypt_excelfile() missing 2 required positional arguments: "
                 "'to_path' and 'password'"),
    (("a", "b"), {}, "encrypt_excelfile() missing 1 required positional argument: 'password'"),
    ((), {"to_path": "b"}, "encrypt_excelfile() missing 2 required positional arguments: "
                           "'from_path' and 'password'"),
    (("a",), {"password": "p"}, "encrypt_excelfile() missing 1 required positional argument: "
                                "'to_path'"),
    (("a", "b", "c", "d"), {}, "encrypt_excelfile() takes 3 positional arguments but 4 were given"),
    # Too many positional arguments is found before any keyword is looked at.
    ((1, 2, 3, 4, 5), {"mode": 1}, "encrypt_excelfile() takes 3 positional arguments but 5 were given"),
    (("a", "b", "c"), {"from_path": "x"}, "encrypt_excelfile() got multiple values for argument 'from_path'"),
    (("a",), {"from_path": "x"}, "encrypt_excelfile() got multiple values for argument 'from_path'"),
    (("a", "b", "c"), {"mode": "w"}, "encrypt_excelfile() got an unexpected keyword argument 'mode'"),
    # Keywords are checked in the order they were passed, and before the
    # missing arguments or any conversion.
    (("a", "b", "c"), {"mode": 1, "from_path": "x"},
     "encrypt_excelfile() got an unexpected keyword argument 'mode'"),
    (("a", "b", "c"), {"password": "x", "mode": 1},
     "encrypt_excelfile() got multiple values for argument 'password'"),
    ((b"a",), {"Password": 1}, "encrypt_excelfile() got an unexpected keyword argument 'Password'"),
    ((), {"\udc80": 1}, "encrypt_excelfile() got an unexpected keyword argument '\udc80'"),
    # Conversion: only the first bad argument in parameter order is named.
    ((b"a", 1, None), {}, "argument 'from_path': 'bytes' object cannot be converted to 'PyString'"),
    (("a", pathlib.PurePosixPath("b"), b"c"), {},
     "argument 'to_path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    (("a", pathlib.Path("b"), "c"), {},
     "argument 'to_path': 'PosixPath' object cannot be converted to 'PyString'"),
    (("a", "b", b"c"), {}, "argument 'password': 'bytes' object cannot be converted to 'PyString'"),
    (("a", "b"), {"password": None},
     "argument 'password': 'NoneType' object cannot be converted to 'PyString'"),
    (("a", Outer.Inner(), "c"), {},
     "argument 'to_path': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ((Nameless(), "b", "c"), {},
     "argument 'from_path': '<failed to extract type name>' object cannot be converted to 'PyString'"),
])
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        encrypt(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("args", [
    ("SRC", "DST", "pass\udc80word"),
    ("SRC", "\ud800.xlsx", "pw"),
    # The surrogate comes first in parameter order, so it wins over the bytes.
    ("\udfff", b"DST", "pw"),
])
def test_lone_surrogate_fails_before_any_file_is_touched(tmp_path, src, args):
    dst = tmp_path / "out.xlsx"
    args = tuple(str(src) if a == "SRC" else str(dst) if a == "DST" else a for a in args)
    with pytest.raises(UnicodeEncodeError) as info:
        encrypt(*args)
    assert type(info.value) is UnicodeEncodeError
    assert "surrogates not allowed" in str(info.value)
    assert not dst.exists()


def test_missing_source_raises_panic_exception(tmp_path, capfd):
    dst = tmp_path / "out.xlsx"
    try:
        try:
            encrypt(str(tmp_path / "missing.xlsx"), str(dst), "pw")
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        panic = e
    else:
        pytest.fail("no exception")
    cls = type(panic)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__
    message = str(panic)
    assert panic.args == (message,)
    assert message.startswith(UNWRAP_PREFIX)
    assert "NotFound" in message and "code: 2" in message
    assert not dst.exists()

    # The report: a line naming the thread and the source location, then
    # the message.
    lines = capfd.readouterr().err.splitlines()
    assert lines[0].startswith("thread 'main' failed at ")
    assert lines[0].endswith(":") and ".cpp:" in lines[0]
    assert lines[1] == message

    # The class is made once and reused.
    with pytest.raises(cls):
        encrypt(str(tmp_path / "missing.xlsx"), str(dst), "pw")


def test_nul_in_path_reaches_the_core_whole(tmp_path, src):
    # Cutting the text at the NUL would name the existing source and succeed.
    dst = tmp_path / "out.xlsx"
    with pytest.raises(BaseException) as info:
        encrypt(str(src) + "\0.bak", str(dst), "pw")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == (UNWRAP_PREFIX + 'Custom { kind: InvalidInput, error: '
                               '"file name contained an unexpected NUL byte" }')
    assert not dst.exists()


def test_password_with_nul_is_used_whole(tmp_path, src):
    dst = tmp_path / "out.xlsx"
    encrypt(str(src), str(dst), "a\0b")
    assert_encrypted(dst, src.read_bytes(), "a\0b")
    office = msoffcrypto.OfficeFile(io.BytesIO(dst.read_bytes()))
    with pytest.raises(msoffcrypto.exceptions.InvalidKeyError):
        office.load_key(password="a", verify_password=True)


FAIL_TWICE = """
import cellvault
for _ in range(2):
    try:
        cellvault.encrypt_excelfile("/nonexistent/in.xlsx", "/nonexistent/out.xlsx", "pw")
    except BaseException as e:
        print(type(e).__name__)
"""


def test_report_note_once_and_backtrace_on_request():
    plain = run_python(FAIL_TWICE)
    assert plain.stdout == "PanicException\nPanicException\n"
    assert plain.stderr.count("thread 'main' failed at ") == 2
    assert plain.stderr.count(
        "note: run with `CELLVAULT_BACKTRACE=1` environment variable to display a backtrace") == 1
    assert "stack backtrace:" not in plain.stderr

    traced = run_python(FAIL_TWICE, CELLVAULT_BACKTRACE="1")
    assert traced.stdout == "PanicException\nPanicException\n"
    assert "note: run with" not in traced.stderr
    assert traced.stderr.count("stack backtrace:") == 2
    # The frames are taken where the abort started, inside the module, and
    # name the core's functions although the module exports none of them.
    frames = traced.stderr.split("stack backtrace:\n")[1].splitlines()
    assert any("cellvault::abort_with_error(" in l for l in frames)
    assert any("cellvault::set_password(" in l for l in frames)
    assert not any("+0x" in l for l in frames[:4])


def test_report_names_the_source_file_relative_to_the_project(tmp_path):
    # Wherever the package was built, the location reads src/...: the
    # build folder is not part of the report.
    failed = run_python(FAIL_TWICE)
    first = failed.stderr.splitlines()[0]
    assert re.fullmatch(r"thread 'main' failed at src/writer/xlsx\.cpp:\d+:\d+:", first), first


def test_out_of_memory_is_memory_error(tmp_path):
    # A source without end, read whole since it is no regular file (a
    # regular one is streamed in bounded memory), outgrows the address
    # space left to the process.
    big = "/dev/zero"
    code = f"""
import resource, cellvault
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm + (512 << 20), vm + (512 << 20)))
try:
    cellvault.encrypt_excelfile({big!r}, {str(tmp_path / "out.xlsx")!r}, "pw")
except MemoryError:
    print("MemoryError")
print("alive")
"""
    result = run_python(code)
    assert result.stdout == "MemoryError\nalive\n", result.stderr
    assert not (tmp_path / "out.xlsx").exists()


def test_other_threads_run_during_a_call(tmp_path):
    src = tmp_path / "in.xlsx"
    plain = make_package(src, size=16 << 20)
    ticks = []
    window = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        # The call takes some 100 ms: the key derivation and 16 MiB of
        # package encryption.
        encrypt(str(src), str(tmp_path / "out.xlsx"), "slow")
        window = (start, time.perf_counter())
    finally:
        stop.set()
        t.join()
    inside = [x for x in ticks if window[0] < x < window[1]]
    # Holding the interpreter lock for the call would leave at most one
    # tick at its edges.
    assert len(inside) >= 5, (len(inside), window[1] - window[0])
    assert_encrypted(tmp_path / "out.xlsx", plain, "slow")


def test_parallel_calls_from_threads(tmp_path, src):
    plain = src.read_bytes()
    errors = []

    def work(i):
        try:
            encrypt(str(src), str(tmp_path / f"out{i}.xlsx"), f"pw{i}")
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for i in range(4):
        assert_encrypted(tmp_path / f"out{i}.xlsx", plain, f"pw{i}")
