"""The reader against files of independent writers.

cellvault_read (tests/cpp/tools/cellvault_read.cpp) runs the reader's
verify and decrypt on a file. The files come from msoffcrypto-tool's
encryption and from locked_files, which builds Agile and Standard files with
other parameters in Python and has each one proven by msoffcrypto-tool's
decryption before the reader sees it. Then every way a file can fail must
be told apart: wrong password, a change after locking, not encrypted, a
damaged container or descriptor, an unsupported encryption.
"""

from __future__ import annotations

import io
import os
import struct
import subprocess
from pathlib import Path

import pytest
from msoffcrypto.method.ecma376_agile import ECMA376Agile

import build_tools
import cellvault
import locked_files
from workbooks import make_workbook

PASSWORDS = [
    pytest.param("Secret-2026", id="ascii"),
    pytest.param("pässwörd-éàç", id="accented"),
    pytest.param("机密のパスワード", id="cjk"),
    pytest.param("lock🔐😀x", id="emoji"),
    pytest.param("long-" + "ǅ" * 3000 + "🎉" * 500, id="very-long"),
]


def tool() -> Path:
    return build_tools.tool("cellvault_read")


def read(args: list[str], password: str) -> tuple[int, str]:
    """Runs cellvault_read; returns its status and its one line."""
    proc = subprocess.run([str(tool()), *args], capture_output=True, check=False,
                          env={**os.environ, "CELLVAULT_PASSWORD": password})
    assert proc.stderr == b"", proc.stderr
    return proc.returncode, proc.stdout.decode().strip()


def decrypt(path: Path, password: str, *extra: str) -> tuple[str, bytes | None]:
    out = path.with_suffix(".plain")
    status, line = read(["decrypt", str(path), str(out), *extra], password)
    return line, out.read_bytes() if status == 0 else None


@pytest.fixture(scope="module")
def workbook(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("wb") / "book.xlsx"
    make_workbook(path, rows=300)
    return path.read_bytes()


@pytest.mark.parametrize("password", PASSWORDS)
def test_opens_what_msoffcrypto_tool_encrypts(tmp_path, workbook, password):
    path = tmp_path / "locked.xlsx"
    path.write_bytes(ECMA376Agile.encrypt(password, io.BytesIO(workbook)))
    line, plain = decrypt(path, password)
    assert line == f"ok matches {len(workbook)} v3 Agile, AES-256-CBC, SHA-512, 100000 spins"
    assert plain == workbook
    assert read(["verify", str(path)], password + "!") == (1, "wrong-password: wrong password")


# msoffcrypto-tool proves a built file (verifier, package and integrity)
# only where its shortcuts hold: hashes whose length is a multiple of 16
# (it compares padded values whole), 128- or 256-bit keys (it keeps the
# package key as long as its padded encryption), 16-byte salts (it takes
# the salt as the IV) and a dataIntegrity element (it requires one). The
# other files are checked against the Python builder alone, which is still
# independent of the reader.
AGILE = [
    # hash, key bits, salt bytes, spins, integrity
    ("SHA256", 128, 16, 50000, True),
    ("SHA384", 256, 16, 1000, True),
    ("SHA512", 128, 16, 10, True),
    ("SHA1", 128, 16, 100000, True),
    ("SHA256", 192, 16, 7, True),
    ("SHA512", 256, 16, 3, False),
    ("SHA384", 256, 24, 1000, True),
    ("SHA1", 256, 20, 0, True),
]


def peer_can_prove(hash_name, key_bits, salt_len, integrity) -> bool:
    return (locked_files.HASH_LEN[hash_name] % 16 == 0 and key_bits in (128, 256)
            and salt_len == 16 and integrity)


@pytest.fixture(scope="module")
def large_workbook(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("wb") / "large.xlsx"
    make_workbook(path, rows=20000)
    return path.read_bytes()


@pytest.mark.parametrize("hash_name,key_bits,salt_len,spins,integrity", AGILE)
@pytest.mark.parametrize("which", ["small", "large"])
def test_opens_agile_files_with_other_parameters(tmp_path, workbook, large_workbook, hash_name,
                                                 key_bits, salt_len, spins, integrity, which):
    package = workbook if which == "small" else large_workbook
    info, stream = locked_files.agile_streams(package, "pw", hash_name=hash_name,
                                              key_bits=key_bits, spins=spins,
                                              salt_len=salt_len, integrity=integrity)
    data = locked_files.container(info, stream)
    if peer_can_prove(hash_name, key_bits, salt_len, integrity):
        assert locked_files.peer_decrypt(data, "pw") == package
    path = tmp_path / "agile.xlsx"
    path.write_bytes(data)
    line, plain = decrypt(path, "pw")
    digest = {"SHA1": "SHA-1", "SHA256": "SHA-256", "SHA384": "SHA-384", "SHA512": "SHA-512"}
    state = "matches" if integrity else "absent"
    assert line == (f"ok {state} {len(package)} v3 Agile, AES-{key_bits}-CBC, "
                    f"{digest[hash_name]}, {spins} spins")
    assert plain == package
    assert read(["verify", str(path)], "pW")[1] == "wrong-password: wrong password"


@pytest.mark.parametrize("key_bits", [128, 192, 256])
@pytest.mark.parametrize("version", [(3, 2), (4, 2)])
def test_opens_standard_files(tmp_path, workbook, key_bits, version):
    info, stream = locked_files.standard_streams(workbook, "Secret-2026", key_bits=key_bits,
                                                 version=version)
    data = locked_files.container(info, stream)
    assert locked_files.peer_decrypt(data, "Secret-2026", integrity=False) == workbook
    path = tmp_path / "standard.xlsx"
    path.write_bytes(data)
    line, plain = decrypt(path, "Secret-2026")
    assert line == f"ok absent {len(workbook)} v3 Standard, AES-{key_bits}-ECB, SHA-1, 50000 spins"
    assert plain == workbook
    assert read(["verify", str(path)], "secret-2026") == (1, "wrong-password: wrong password")


@pytest.fixture(scope="module")
def locked(tmp_path_factory, workbook) -> Path:
    """A workbook locked by cellvault's Python function (version 4)."""
    d = tmp_path_factory.mktemp("locked")
    (d / "book.xlsx").write_bytes(workbook)
    cellvault.encrypt_excelfile(str(d / "book.xlsx"), str(d / "locked.xlsx"), "pw")
    return d / "locked.xlsx"


def test_roundtrip_of_the_python_function(locked, workbook):
    line, plain = decrypt(locked, "pw")
    assert line == f"ok matches {len(workbook)} v4 Agile, AES-256-CBC, SHA-512, 100000 spins"
    assert plain == workbook


def changed(path: Path, tmp_path: Path, offset: int, value: bytes) -> Path:
    data = bytearray(path.read_bytes())
    data[offset:offset + len(value)] = value
    out = tmp_path / "changed.xlsx"
    out.write_bytes(bytes(data))
    return out


def test_failures_are_told_apart(tmp_path, locked, workbook):
    import olefile
    data = locked.read_bytes()
    ole = olefile.OleFileIO(str(locked))
    package_sector = ole.direntries[ole._find("EncryptedPackage")].isectStart
    package_at = (package_sector + 1) * 4096
    fat_at = (struct.unpack_from("<I", data, 0x4C)[0] + 1) * 4096

    cases = {
        "wrong password": (locked, "wrong-password: wrong password"),
        "flipped package byte": (
            changed(locked, tmp_path, package_at + 500, bytes([data[package_at + 500] ^ 1])),
            "integrity-mismatch: the file was changed after it was locked (its integrity value "
            "does not match)"),
    }
    for name, (path, want) in cases.items():
        password = "nope" if name == "wrong password" else "pw"
        assert read(["verify", str(path)], password) == (1, want), name
    # The integrity mismatch is refused unless asked for, and then decrypts.
    flipped = cases["flipped package byte"][0]
    line, plain = decrypt(flipped, "pw")
    assert plain is None and line.startswith("integrity-mismatch: ")
    line, plain = decrypt(flipped, "pw", "--ignore-integrity")
    assert line.startswith("ok not-checked ") and len(plain) == len(workbook) and plain != workbook

    (tmp_path / "plain.xlsx").write_bytes(workbook)
    (tmp_path / "empty.xlsx").write_bytes(b"")
    assert read(["verify", str(tmp_path / "plain.xlsx")], "pw") == (
        1, "not-encrypted: not an encrypted Office file: it is a plain ZIP package, which is what "
           "an unlocked workbook is")
    assert read(["verify", str(tmp_path / "empty.xlsx")], "pw") == (
        1, "not-encrypted: not an encrypted Office file: the file is empty")

    truncated = tmp_path / "truncated.xlsx"
    truncated.write_bytes(data[: len(data) - 5000])
    status, line = read(["verify", str(truncated)], "pw")
    assert status == 1 and line.startswith("damaged-container: damaged container: "), line

    # The FAT entry of the package's first sector made to point at itself.
    looped = changed(locked, tmp_path, fat_at + 4 * package_sector, struct.pack("<I", package_sector))
    assert read(["verify", str(looped)], "pw") == (
        1, "damaged-container: damaged container: the FAT chain of stream EncryptedPackage loops "
           f"back to sector {package_sector} after 1 sectors")

    info_at = data.index(b"<keyData")
    broken = changed(locked, tmp_path, info_at, b"<kexData")
    assert read(["verify", str(broken)], "pw") == (
        1, "damaged-descriptor: damaged encryption descriptor: encryption has no keyData")


POI_JARS = ["poi", "poi-ooxml", "poi-ooxml-schemas", "xmlbeans", "commons-collections4",
            "commons-math3", "commons-codec", "commons-compress"]


def poi_lock(tmp_path: Path, package: bytes, mode: str, cipher: str, hash_name: str,
             password: str) -> Path:
    """Locks |package| with Apache POI (Debian's libapache-poi-java)."""
    jars = [Path("/usr/share/java") / f"{name}.jar" for name in POI_JARS]
    if not all(j.exists() for j in jars) or not Path("/usr/bin/java").exists():
        pytest.skip("Apache POI (libapache-poi-java) and Java are not installed")
    src, out = tmp_path / "plain.bin", tmp_path / f"poi-{mode}-{cipher}.bin"
    src.write_bytes(package)
    program = Path(__file__).resolve().parent / "poi" / "PoiLock.java"
    subprocess.run(["java", "-cp", ":".join(map(str, jars)), str(program), mode, cipher,
                    hash_name, password, str(src), str(out)], check=True, capture_output=True)
    return out


# Debian's POI 4.0.1 writes Standard encryption on Java 17; its Agile
# writer does not run there (the packaged schemas lack the compiled type
# system of the encryption schema), so Agile files of other parameters
# come from locked_files above.
@pytest.mark.parametrize("which", ["small", "large"])
def test_opens_what_apache_poi_encrypts(tmp_path, workbook, large_workbook, which):
    # The large package needs more than the header's 109 FAT sectors, so
    # POI's container holds DIFAT sectors.
    package = workbook if which == "small" else large_workbook * 12
    path = poi_lock(tmp_path, package, "standard", "aes128", "sha1", "pässwörd")
    difat_sectors = struct.unpack_from("<I", path.read_bytes(), 0x48)[0]
    assert difat_sectors == (0 if which == "small" else 1)
    line, plain = decrypt(path, "pässwörd")
    assert line == f"ok absent {len(package)} v3 Standard, AES-128-ECB, SHA-1, 50000 spins"
    assert plain == package
    assert read(["verify", str(path)], "passwörd") == (1, "wrong-password: wrong password")


def test_memory_stays_bounded_whatever_the_package_size(tmp_path):
    """A 48 MiB package decrypts within 40 MB of address space, less than
    the package itself: the reader holds a window, never the package."""
    import zipfile
    src = tmp_path / "big.xlsx"
    with zipfile.ZipFile(src, "w", zipfile.ZIP_STORED) as z:
        with z.open("xl/data.bin", "w") as f:
            chunk = os.urandom(1 << 20)
            for _ in range(48):
                f.write(chunk)
    locked_path = tmp_path / "big.locked.xlsx"
    cellvault.encrypt_excelfile(str(src), str(locked_path), "pw")
    out = tmp_path / "big.plain"
    proc = subprocess.run(["bash", "-c", 'ulimit -v 40000 && exec "$0" decrypt "$1" "$2"',
                           str(tool()), str(locked_path), str(out)],
                          capture_output=True, check=False,
                          env={**os.environ, "CELLVAULT_PASSWORD": "pw"})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert out.read_bytes() == src.read_bytes()
