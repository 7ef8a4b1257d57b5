"""Compound files written by the C++ writer, read back by olefile.

The test-only program cfb_write (tests/cpp/tools/cfb_write.cpp) writes a
file from a description; olefile, an independent reader, must list exactly
the storages and streams described and return every stream byte for byte.
"""
import os
import subprocess
from pathlib import Path

import pytest

import build_tools

olefile = pytest.importorskip("olefile")

PERIOD = 4099


def tool() -> Path:
    return build_tools.tool("cfb_write")


def pattern(size: int, seed: int) -> bytes:
    """The bytes cfb_write puts in a stream; computed here on its own terms."""
    block = bytes(((k * 131 + seed * 17 + k // 7) & 0xFF) for k in range(PERIOD))
    return (block * (size // PERIOD + 1))[:size]


def write(tmp_path: Path, items, version=4, chunk=None) -> Path:
    out = tmp_path / f"v{version}.cfb"
    args = [str(tool()), "--version", str(version)]
    if chunk:
        args += ["--chunk", str(chunk)]
    subprocess.run(args + [str(out)] + items, check=True, capture_output=True)
    return out


def streams_of(items):
    """The final {path: (size, seed)} of a description; later items win."""
    result = {}
    for item in items:
        if item.startswith("stream:"):
            path, size, seed = item[len("stream:"):].rsplit(":", 2)
            result[path.strip("/")] = (int(size), int(seed))
    return result


def check(path: Path, items, version):
    sector = 4096 if version == 4 else 512
    assert path.stat().st_size % sector == 0
    with olefile.OleFileIO(str(path)) as ole:
        assert ole.header_signature == olefile.MAGIC
        assert ole.dll_version == version
        assert ole.sector_size == sector
        expected = streams_of(items)
        listed = {"/".join(p) for p in ole.listdir(streams=True, storages=False)}
        assert listed == set(expected)
        storages = {"/".join(p) for p in ole.listdir(streams=False, storages=True)}
        wanted = {i[len("storage:"):].strip("/") for i in items if i.startswith("storage:")}
        assert storages == wanted
        for name, (size, seed) in expected.items():
            assert ole.get_size(name) == size, name
            data = ole.openstream(name).read()
            assert data == pattern(size, seed), name


VERSIONS = [3, 4]


@pytest.mark.parametrize("version", VERSIONS)
def test_two_streams_like_the_encryption_driver(tmp_path, version):
    items = ["stream:EncryptionInfo:1289:1", "stream:EncryptedPackage:10008:2"]
    check(write(tmp_path, items, version), items, version)


@pytest.mark.parametrize("version", VERSIONS)
def test_sizes_around_the_mini_stream_cutoff(tmp_path, version):
    sizes = [0, 1, 63, 64, 65, 4095, 4096, 4097, 8192, 8193, 20000]
    items = [f"stream:s{size}:{size}:{n}" for n, size in enumerate(sizes)]
    check(write(tmp_path, items, version), items, version)


@pytest.mark.parametrize("version", VERSIONS)
def test_many_streams_grow_the_directory(tmp_path, version):
    # 80 entries need three directory sectors of 32 entries (version 4) or
    # twenty of 4 (version 3); names of mixed length and case exercise the
    # ordering of the tree.
    items = [f"stream:{'Ab'[n % 2] * (1 + n % 5)}{n}:{(n * 97) % 5000}:{n}" for n in range(80)]
    check(write(tmp_path, items, version), items, version)


@pytest.mark.parametrize("version", VERSIONS)
def test_nested_storages(tmp_path, version):
    items = [
        "storage:outer",
        "storage:outer/inner",
        "storage:other",
        "stream:outer/inner/deep:5000:1",
        "stream:outer/small:100:2",
        "stream:other/x:4096:3",
        "stream:top:64:4",
    ]
    check(write(tmp_path, items, version), items, version)


@pytest.mark.parametrize("version", VERSIONS)
def test_recreated_streams_reuse_space(tmp_path, version):
    items = [
        "stream:a:3000:1",
        "stream:b:9000:2",
        "stream:a:200:3",   # a mini chain freed and reused
        "stream:b:5000:4",  # a regular chain freed and reused
        "stream:c:4000:5",
    ]
    check(write(tmp_path, items, version), items, version)


@pytest.mark.parametrize("version", VERSIONS)
def test_multi_sector_fat_with_small_writes(tmp_path, version):
    # 6 MiB needs two FAT sectors in version 4 and about a hundred in
    # version 3; 1000-byte writes go through the window.
    items = ["stream:small:100:1", f"stream:big:{6 * 1024 * 1024 + 5}:2"]
    check(write(tmp_path, items, version, chunk=1000), items, version)


@pytest.mark.large
@pytest.mark.skipif(os.environ.get("CELLVAULT_LARGE_TESTS") != "1",
                    reason="writes files of hundreds of megabytes; set CELLVAULT_LARGE_TESTS=1")
@pytest.mark.parametrize("version,size", [
    # Past 111616 sectors: FAT sector 109 and the first DIFAT sector.
    (4, 111700 * 4096),
    # 512-byte sectors: 109 FAT sectors cover about 7 MB; 30 MB needs
    # several DIFAT sectors.
    (3, 30 * 1024 * 1024),
])
def test_large_file_with_difat_sectors(tmp_path, version, size):
    items = ["stream:EncryptionInfo:1289:1", f"stream:EncryptedPackage:{size}:2"]
    path = write(tmp_path, items, version)
    with olefile.OleFileIO(str(path)) as ole:
        assert ole.num_difat_sectors >= (1 if version == 4 else 2)
    check(path, items, version)
