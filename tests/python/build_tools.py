"""The test programs that scripts/test.sh builds beside the unit tests
(tests/cpp/tools), found through CELLVAULT_TOOLS_DIR."""

from __future__ import annotations

import os
from pathlib import Path

import pytest


def tool(name: str) -> Path:
    """The path of tool |name|; skips the test when it is not built."""
    tools = os.environ.get("CELLVAULT_TOOLS_DIR")
    if not tools:
        pytest.skip("CELLVAULT_TOOLS_DIR is not set (scripts/test.sh sets it to build/test/tests/cpp)")
    path = Path(tools) / name
    if not path.exists():
        pytest.skip(f"{path} is missing: build the tests first (scripts/test.sh)")
    return path
