"""Round trips through independent readers: what encrypt_excelfile writes
must open with the password in msoffcrypto-tool (verifier and integrity
checked) and olefile, and give back the source bytes exactly."""

from __future__ import annotations

import os
import random

import openpyxl
import pytest

import cellvault
import oracle

PASSWORDS = [
    pytest.param("", id="empty"),
    pytest.param("Secret-2026", id="ascii"),
    pytest.param("pässwörd-éàç", id="accented"),
    pytest.param("机密のパスワード", id="cjk"),
    pytest.param("lock🔐😀x", id="emoji"),
    pytest.param("long-" + "ǅ" * 3000 + "🎉" * 500, id="very-long"),
]


@pytest.fixture(scope="module")
def workbook(tmp_path_factory) -> tuple[str, dict]:
    """A real workbook: several sheets, shared strings, thousands of rows."""
    path = tmp_path_factory.mktemp("wb") / "report.xlsx"
    rng = random.Random(7)
    wb = openpyxl.Workbook()
    ledger = wb.active
    ledger.title = "Ledger"
    ledger.append(["id", "account", "amount", "note"])
    for i in range(3000):
        ledger.append([i, rng.choice(["cash", "bank", "card"]), round(rng.uniform(-500, 500), 2),
                       f"entry {i} ünïcødé"])
    people = wb.create_sheet("People")
    for name in ["Ada", "Grace", "Alan", "Ada", "Grace"]:
        people.append([name, len(name)])
    wb.create_sheet("Empty")
    wb.save(path)
    return str(path), {"Ledger": 3001, "People": 5}


@pytest.mark.parametrize("password", PASSWORDS)
def test_workbook_round_trip(workbook, tmp_path, password):
    source, rows = workbook
    target = tmp_path / "locked.xlsx"
    assert cellvault.encrypt_excelfile(source, str(target), password) is None
    plain = oracle.decrypt(target, password)
    with open(source, "rb") as f:
        assert plain == f.read()
    # The decrypted package is a workbook again.
    out = tmp_path / "plain.xlsx"
    out.write_bytes(plain)
    wb = openpyxl.load_workbook(out, read_only=True)
    assert wb.sheetnames == ["Ledger", "People", "Empty"]
    assert wb["Ledger"].max_row == rows["Ledger"]


def test_wrong_password_is_refused(workbook, tmp_path):
    target = tmp_path / "locked.xlsx"
    cellvault.encrypt_excelfile(workbook[0], str(target), "right")
    with pytest.raises(Exception, match="(?i)password|key"):
        oracle.decrypt(target, "wrong")


@pytest.mark.parametrize("size", [0, 1, 4080, 4096, 4097, 8192, 3 * 1024 * 1024 + 123])
def test_raw_packages_and_container_layout(tmp_path, size):
    data = random.Random(size).randbytes(size)
    source = tmp_path / "in.bin"
    source.write_bytes(data)
    target = tmp_path / "out.bin"
    cellvault.encrypt_excelfile(str(source), str(target), "pw")

    ole, streams = oracle.read_container(target)
    assert ole.sectorsize == 4096 and ole.minor_version == 0x3E
    assert sorted(streams) == ["EncryptedPackage", "EncryptionInfo"]
    assert len(streams["EncryptionInfo"]) == 1289
    package = streams["EncryptedPackage"]
    # Size field, then the segments padded to whole AES blocks.
    assert package[:8] == size.to_bytes(8, "little")
    assert len(package) == 8 + (size + 15) // 16 * 16
    assert os.path.getsize(target) % 4096 == 0
    ole.close()

    assert oracle.decrypt(target, "pw", independent_key=True) == data
    if size > 0:
        assert oracle.decrypt(target, "pw") == data


def test_same_inputs_give_different_files(tmp_path):
    source = tmp_path / "in.bin"
    source.write_bytes(b"same bytes" * 100)
    a, b = tmp_path / "a", tmp_path / "b"
    cellvault.encrypt_excelfile(str(source), str(a), "pw")
    cellvault.encrypt_excelfile(str(source), str(b), "pw")
    assert a.read_bytes() != b.read_bytes()
    assert oracle.decrypt(a, "pw") == oracle.decrypt(b, "pw") == source.read_bytes()
