"""The type information shipped with the package: type checkers find it in
the installed package (not in the source tree), it matches the compiled
module, and it is part of what pip installs."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

GOOD_CLIENT = '''\
import cellvault
from cellvault import encrypt_excelfile


def lock(source: str, target: str, password: str) -> None:
    encrypt_excelfile(source, target, password)
    cellvault.encrypt_excelfile(from_path=source, to_path=target, password=password)


exported: list[str] = cellvault.__all__
'''

BAD_CLIENT = '''\
import pathlib

import cellvault

cellvault.encrypt_excelfile(pathlib.Path("a.xlsx"), "b.xlsx", "pw")
cellvault.encrypt_excelfile("a.xlsx", "b.xlsx", b"pw")
cellvault.encrypt_excelfile("a.xlsx", "b.xlsx", passwd="pw")
'''


@pytest.fixture
def client_dir(tmp_path: Path) -> Path:
    """A directory of its own, away from the source and build trees, so that
    only the installed package can satisfy `import cellvault`."""
    (tmp_path / "good.py").write_text(GOOD_CLIENT)
    (tmp_path / "bad.py").write_text(BAD_CLIENT)
    return tmp_path


def check(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    env.pop("PYTHONPATH", None)
    env.pop("MYPYPATH", None)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300, check=False)


# Each bad call is flagged on its own line, with the kind of error that fits
# it, and nothing else is. The checkers' error codes and rule names are
# their stable interface; the wording of their messages changes between
# versions, and neither version is pinned, so no message text is compared.
BAD_LINES = {5: "wrong argument type", 6: "wrong argument type", 7: "bad call"}


def test_mypy_uses_the_stubs(client_dir: Path) -> None:
    mypy = ["mypy", "--strict", "--cache-dir", os.devnull, "--no-error-summary"]
    good = check([*mypy, "good.py"], client_dir)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = check([*mypy, "bad.py"], client_dir)
    assert bad.returncode == 1, bad.stdout + bad.stderr
    kinds = {"arg-type": "wrong argument type", "call-arg": "bad call"}
    found = set()
    for line in bad.stdout.splitlines():
        error = re.fullmatch(r"bad\.py:(\d+): error: .*  \[([a-z-]+)\]", line)
        if error:
            found.add((int(error[1]), kinds.get(error[2], error[2])))
    assert found == set(BAD_LINES.items()), bad.stdout


def test_pyright_uses_the_stubs(client_dir: Path) -> None:
    pyright = ["pyright", "--outputjson", "--pythonpath", sys.executable]
    good = check([*pyright, "good.py"], client_dir)
    assert good.returncode == 0, good.stdout + good.stderr
    assert json.loads(good.stdout)["summary"]["errorCount"] == 0
    bad = check([*pyright, "bad.py"], client_dir)
    assert bad.returncode == 1, bad.stdout + bad.stderr
    kinds = {"reportArgumentType": "wrong argument type", "reportCallIssue": "bad call"}
    found = {(d["range"]["start"]["line"] + 1, kinds.get(d.get("rule"), d.get("rule")))
             for d in json.loads(bad.stdout)["generalDiagnostics"]
             if d["severity"] == "error"}
    assert found == set(BAD_LINES.items()), bad.stdout


def test_stubs_match_the_compiled_module(tmp_path: Path) -> None:
    # The stub package sits beside the extension module in site-packages.
    found = importlib.util.find_spec("cellvault")
    assert found is not None and found.origin is not None
    module_file = Path(found.origin)
    assert module_file.suffix == ".so", found.origin
    assert (module_file.parent / "cellvault" / "__init__.pyi").is_file()
    done = check(["mypy.stubtest", "cellvault"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_package_lists_stubs_and_command() -> None:
    # pip installs from the wheel and records every file of it in RECORD.
    files = {str(f) for f in importlib.metadata.files("cellvault") or []}
    assert "cellvault/__init__.pyi" in files
    assert "cellvault/py.typed" in files
    assert any(f.endswith("/bin/cellvault") for f in files), sorted(files)
