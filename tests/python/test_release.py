"""What a release carries: one version everywhere, and the wheel's promises."""

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

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
