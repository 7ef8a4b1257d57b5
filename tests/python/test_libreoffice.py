"""LibreOffice, the real client, opens what cellvault encrypts.

LibreOffice reads only version 3 compound files (512-byte sectors), so the
files come from the `cellvault encrypt` command, whose default is version 3,
and from the test tool `cfb_write encrypt --version 3`, which runs the
Python function's pipeline with that container; the Python function itself
writes version 4. Cells are compared with what the
generator wrote (or with openpyxl's reading of the source), and a wrong
password must be refused.
"""

import os
import struct
import subprocess
from pathlib import Path

import pytest

from cli_helpers import built_tool, cli_path
from libreoffice import WrongPassword, assert_same_cells
from libreoffice import libreoffice  # noqa: F401  (fixture)
from workbooks import make_sized_workbook, make_workbook, workbook_cells

pytestmark = pytest.mark.libreoffice

PASSWORD = "pä$$wörd ✓ 𝄞"  # the last one is a UTF-16 surrogate pair


@pytest.fixture(params=["command", "pipeline"])
def encrypt_v3(request):
    """Encrypts into a version 3 container with the installed command or
    with the test tool that runs the pipeline; the pipeline's test skips
    before any work when the tool is not built."""
    if request.param == "command":
        argv = [cli_path(), "encrypt", "-q", "--container-version", "3",
                "--password-env", "CELLVAULT_PASSWORD"]
    else:
        argv = [built_tool("cfb_write"), "encrypt", "--version", "3"]

    def encrypt(src, dst, password):
        env = dict(os.environ, CELLVAULT_PASSWORD=password)
        done = subprocess.run(argv + [str(src), str(dst)],
                              env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
    return encrypt


def header_fields(path):
    """(major version, sector shift, FAT sectors, DIFAT sectors) read straight
    from the 512-byte [MS-CFB] header: offsets 0x1A, 0x1E, 0x2C and 0x48."""
    head = Path(path).read_bytes()[:512]
    assert head[:8] == bytes.fromhex("D0CF11E0A1B11AE1")
    (major,) = struct.unpack_from("<H", head, 0x1A)
    (shift,) = struct.unpack_from("<H", head, 0x1E)
    (fat,) = struct.unpack_from("<I", head, 0x2C)
    (difat,) = struct.unpack_from("<I", head, 0x48)
    return major, shift, fat, difat


def test_libreoffice_opens_an_encrypted_workbook_and_refuses_a_wrong_password(
        tmp_path, libreoffice, encrypt_v3):
    plain, locked = tmp_path / "report.xlsx", tmp_path / "locked.xlsx"
    cells = make_workbook(plain, rows=3000)
    encrypt_v3(plain, locked, PASSWORD)
    assert header_fields(locked)[:2] == (3, 9)

    assert_same_cells(cells, libreoffice(locked, PASSWORD))
    # Differs only in the surrogate pair: a wrong UTF-16 encoding of the
    # password would be caught here.
    with pytest.raises(WrongPassword):
        libreoffice(locked, "pä$$wörd ✓ ")
    with pytest.raises(WrongPassword):
        libreoffice(locked, "")


def test_libreoffice_opens_a_workbook_whose_fat_needs_a_difat_sector(
        tmp_path, libreoffice, encrypt_v3):
    # The header holds 109 FAT sector ids; past 109 x 128 sectors of 512
    # bytes (about 7.1 MB) the rest go into DIFAT sectors.
    plain, locked = tmp_path / "big.xlsx", tmp_path / "big-locked.xlsx"
    make_sized_workbook(plain, 8_000_000, seed=5)
    encrypt_v3(plain, locked, PASSWORD)
    major, shift, fat, difat = header_fields(locked)
    assert (major, shift) == (3, 9)
    assert fat > 109 and difat >= 1

    assert_same_cells(workbook_cells(plain), libreoffice(locked, PASSWORD, timeout=180))
