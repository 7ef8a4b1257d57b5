"""Writes the fuzz targets' seed corpora under tests/fuzz/corpus/.

    python3 tests/fuzz/make_corpus.py BUILD_TOOLS_DIR

BUILD_TOOLS_DIR holds cfb_write (build/test/tests/cpp). The seeds are files
that cellvault itself writes (both container versions), files that
msoffcrypto-tool writes, Agile and Standard files built in Python with
other parameters (small spin counts, so that the verify target gets past
the key derivation quickly; the password is "password"), and hand-made
damaged ones: chains that loop or run past the end, a directory that
cycles, truncations, and descriptors that are malformed in the ways the
reader must refuse. The seeds are committed; run this again only to
change them.
"""

from __future__ import annotations

import io
import os
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))
import locked_files  # noqa: E402
from msoffcrypto.method.ecma376_agile import ECMA376Agile  # noqa: E402

PASSWORD = "password"


def package(size: int) -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("xl/workbook.xml", "w" * size)
    return buf.getvalue()


def cellvault_file(tools: Path, data: bytes, version: int) -> bytes:
    with tempfile.TemporaryDirectory() as d:
        src, dst = Path(d) / "in", Path(d) / "out"
        src.write_bytes(data)
        subprocess.run([str(tools / "cfb_write"), "encrypt", "--version", str(version),
                        str(src), str(dst)], check=True,
                       env={**os.environ, "CELLVAULT_PASSWORD": PASSWORD})
        return dst.read_bytes()


def streams_of(data: bytes) -> dict[str, bytes]:
    import olefile
    ole = olefile.OleFileIO(io.BytesIO(data))
    return {"/".join(e): ole.openstream(e).read() for e in ole.listdir()}


def patch(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value):]


def damaged_containers(v3: bytes) -> dict[str, bytes]:
    """Breaks a version 3 file (512-byte sectors) in the ways the reader
    must report."""
    sector = lambda n: 512 * (n + 1)  # noqa: E731
    fat0 = struct.unpack_from("<I", v3, 0x4C)[0]
    dir0 = struct.unpack_from("<I", v3, 0x30)[0]
    out = {
        "truncated_header": v3[:300],
        "truncated_half": v3[: len(v3) // 2],
        "fat_sector_past_end": patch(v3, 0x4C, struct.pack("<I", 0x7FFF)),
        "too_many_fat_sectors": patch(v3, 0x2C, struct.pack("<I", 0xFFFFFF)),
        "difat_loop": patch(patch(v3, 0x2C, struct.pack("<I", 200)), 0x44, struct.pack("<I", fat0)),
        "dir_chain_loop": patch(v3, sector(fat0) + 4 * dir0, struct.pack("<I", dir0)),
        "dir_chain_free": patch(v3, sector(fat0) + 4 * dir0, struct.pack("<I", 0xFFFFFFFF)),
        "root_child_cycle": patch(v3, sector(dir0) + 76, struct.pack("<I", 0)),
        "sibling_past_end": patch(v3, sector(dir0) + 128 + 68, struct.pack("<I", 9999)),
        "stream_size_huge": patch(v3, sector(dir0) + 128 + 120, struct.pack("<Q", 1 << 40)),
        "bad_version": patch(v3, 0x1A, struct.pack("<H", 5)),
    }
    return out


def bad_descriptors(good: bytes) -> dict[str, bytes]:
    xml = good[8:].decode()
    head = good[:8]
    return {
        "spin_4e9": head + xml.replace('spinCount="100000"', 'spinCount="4000000000"').encode(),
        "doctype": head + xml.replace("<encryption", '<!DOCTYPE e [<!ENTITY x "y">]><encryption', 1).encode(),
        "deep": head + (b"<a>" * 40) + b"</a>" * 40,
        "bad_base64": head + xml.replace('saltValue="', 'saltValue="!!', 1).encode(),
        "missing_key_data": head + xml.replace("<keyData", "<keyDatum", 1).encode(),
        "not_xml": head + b"<encryption",
        "rc4": struct.pack("<HHI", 4, 2, 0x04) + b"\0" * 64,
        "extensible": struct.pack("<HHI", 4, 3, 0x24) + b"\0" * 64,
        "certificate_only": head + xml.replace(locked_files.NS_P + '">', locked_files.NS_C + '">', 1).encode(),
    }


def write(target: str, name: str, data: bytes) -> None:
    d = HERE / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def main() -> None:
    tools = Path(sys.argv[1])
    files = {
        "cellvault_v4_100": cellvault_file(tools, package(100), 4),
        "cellvault_v3_5000": cellvault_file(tools, package(5000), 3),
        "cellvault_v3_empty": cellvault_file(tools, b"", 3),
        "msoffcrypto_5000": ECMA376Agile.encrypt(PASSWORD, io.BytesIO(package(5000))),
        # msoffcrypto-tool's container writer starts both streams at the
        # same mini sector when the package is short: a damaged file.
        "msoffcrypto_short_overlapping": ECMA376Agile.encrypt(PASSWORD, io.BytesIO(package(300))),
    }
    fast = {
        "agile_sha1_aes128": locked_files.agile_streams(package(4200), PASSWORD, hash_name="SHA1",
                                                        key_bits=128, spins=1),
        "agile_sha256_aes192_noint": locked_files.agile_streams(
            package(5000), PASSWORD, hash_name="SHA256", key_bits=192, spins=2, integrity=False),
        "agile_sha384_salt20": locked_files.agile_streams(package(9000), PASSWORD,
                                                          hash_name="SHA384", spins=3, salt_len=20),
        "agile_sha512": locked_files.agile_streams(package(4100), PASSWORD, spins=1),
        "standard_aes128": locked_files.standard_streams(package(4500), PASSWORD),
    }
    for name, (info, stream) in fast.items():
        files[name] = locked_files.container(info, stream)
    for name, data in files.items():
        write("fuzz_container", name, data)
        write("fuzz_verify", name, data)
        if "overlapping" not in name:
            write("fuzz_descriptor", name, streams_of(data)["EncryptionInfo"])
    for name, data in damaged_containers(files["cellvault_v3_5000"]).items():
        write("fuzz_container", name, data)
        write("fuzz_verify", name, data)
    for name, data in bad_descriptors(streams_of(files["cellvault_v4_100"])["EncryptionInfo"]).items():
        write("fuzz_descriptor", name, data)


if __name__ == "__main__":
    main()
