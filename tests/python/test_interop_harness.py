"""Self-checks of the interoperability harness against an independent peer.

The files here are encrypted by msoffcrypto-tool, not by cellvault: these
tests prove that the LibreOffice read-back and the workbook generator are
sound, so that a failure elsewhere points at cellvault and not at them.
"""

import hashlib
import os
import signal

import msoffcrypto.format.ooxml
import pytest

import libreoffice as harness
from libreoffice import LibreOfficeError, WrongPassword, assert_same_cells
from libreoffice import libreoffice  # noqa: F401  (fixture)
from workbooks import make_sized_workbook, make_workbook, workbook_cells


def peer_encrypt(src, dst, password):
    with open(src, "rb") as plain, open(dst, "wb") as out:
        msoffcrypto.format.ooxml.OOXMLFile(plain).encrypt(password, out)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.mark.libreoffice
def test_libreoffice_reads_back_a_peer_encrypted_workbook(tmp_path, libreoffice):
    plain, locked = tmp_path / "plain.xlsx", tmp_path / "locked.xlsx"
    cells = make_workbook(plain, rows=300)
    peer_encrypt(plain, locked, "pässwörd ✓")

    assert_same_cells(cells, libreoffice(locked, "pässwörd ✓"))
    # A wrong password must be told apart from a file that cannot be read.
    with pytest.raises(WrongPassword):
        libreoffice(locked, "pässwörd")
    damaged = tmp_path / "damaged.xlsx"
    damaged.write_bytes(locked.read_bytes()[:2000])
    with pytest.raises(LibreOfficeError) as failure:
        libreoffice(damaged, "pässwörd ✓")
    assert failure.type is LibreOfficeError
    with pytest.raises(LibreOfficeError, match="no such file"):
        libreoffice(tmp_path / "missing.xlsx", "x")


@pytest.mark.libreoffice
def test_a_dead_office_fails_one_read_and_the_next_starts_afresh(tmp_path, libreoffice):
    plain, locked = tmp_path / "plain.xlsx", tmp_path / "locked.xlsx"
    cells = make_workbook(plain, rows=5)
    peer_encrypt(plain, locked, "pw")
    assert_same_cells(cells, libreoffice(locked, "pw"))
    os.killpg(harness._server.office_pgid, signal.SIGKILL)
    with pytest.raises(LibreOfficeError, match="died|ended"):
        libreoffice(locked, "pw")
    assert_same_cells(cells, libreoffice(locked, "pw"))


def test_cell_comparison_allows_only_the_office_rounding():
    # LibreOffice keeps 15 significant digits: 4/3 comes back as
    # 1.333333333333333 (read from a real round trip).
    assert_same_cells({"S": [[4 / 3, "a", None, 7]]},
                      {"S": [[1.333333333333333, "a", None, 7.0]]})
    for wrong in ({"S": [[1.3333333333333, "a", None, 7]]},   # 14 digits: data changed
                  {"S": [[4 / 3, "b", None, 7]]},
                  {"S": [[4 / 3, "a", 0, 7]]},                # empty is not zero
                  {"S": [[4 / 3, "a", None]]},
                  {"S": [[4 / 3, "a", None, 7]], "T": []}):
        with pytest.raises(AssertionError):
            assert_same_cells({"S": [[4 / 3, "a", None, 7]]}, wrong)
    with pytest.raises(AssertionError, match="S R1C2"):
        assert_same_cells({"S": [[1, "x"]]}, {"S": [[1, "y"]]})


def test_generated_workbooks_are_reproducible_and_sized(tmp_path):
    first, second = tmp_path / "a.xlsx", tmp_path / "b.xlsx"
    cells = make_workbook(first, rows=500, seed=7)
    make_workbook(second, rows=500, seed=7)
    assert digest(first) == digest(second)
    # What openpyxl reads back is what the generator says it wrote.
    assert workbook_cells(first) == cells
    assert len(cells["Data"]) == 501

    for target in (10_000, 1_000_000):
        a, b = tmp_path / ("s%d.xlsx" % target), tmp_path / ("t%d.xlsx" % target)
        size = make_sized_workbook(a, target, seed=3)
        assert size == a.stat().st_size
        assert abs(size - target) <= 0.1 * target, size
        make_sized_workbook(b, target, seed=3)
        assert digest(a) == digest(b)
    make_sized_workbook(b, 10_000, seed=4)
    assert digest(tmp_path / "s10000.xlsx") != digest(b)
