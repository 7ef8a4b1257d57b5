"""What a release carries: one version everywhere, and the wheel's promises."""

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import cli_path

ROOT = Path(__file__).resolve().parents[2]

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - Python 3.9 and 3.10
    tomllib = None


def pyproject_version() -> str:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    if tomllib is not None:
        return tomllib.loads(text)["project"]["version"]
    found = re.search(r'^version = "([^"]+)"', text, re.M)
    assert found, "no version line in pyproject.toml"
    return found.group(1)


def test_one_version_in_pyproject_metadata_command_and_changelog() -> None:
    version = pyproject_version()
    assert importlib.metadata.version("cellvault") == version, \
        "the installed package is not this tree's: reinstall it"
    shown = subprocess.run([cli_path(), "--version"], capture_output=True, text=True,
                           check=True).stdout
    assert shown == "cellvault %s\n" % version
    # The newest entry of the changelog is the version being built.
    headings = re.findall(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"),
                          re.M)
    assert headings and headings[0] == version, headings[:1]


def test_release_wheels_are_built_as_the_wheel_script_builds():
    """cibuildwheel's settings and scripts/build_wheel.sh ask CMake for the
    same thing: the option that links libcrypto and expat in, which the
    project's CMake file defines."""
    if tomllib is None:
        pytest.skip("reading pyproject.toml's tables needs tomllib (Python 3.11)")
    cibw = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["tool"]["cibuildwheel"]
    settings = cibw["config-settings"]
    assert settings == {"cmake.define.CELLVAULT_STATIC_DEPS": "ON"}
    script = (ROOT / "scripts" / "build_wheel.sh").read_text(encoding="utf-8")
    assert "-C cmake.define.CELLVAULT_STATIC_DEPS=ON" in script
    assert re.search(r"^option\(CELLVAULT_STATIC_DEPS ",
                     (ROOT / "CMakeLists.txt").read_text(encoding="utf-8"), re.M)
    linux = cibw["linux"]
    assert sorted(linux["archs"]) == ["aarch64", "x86_64"]
    assert {"manylinux-x86_64-image", "manylinux-aarch64-image", "musllinux-x86_64-image",
            "musllinux-aarch64-image"} <= set(linux)
