"""Real .xlsx workbooks made with openpyxl, for tests and benchmarks.

Nothing here is committed as a file: every workbook is generated, and the
same arguments give the same bytes (fixed document dates, fixed ZIP time
stamps, seeded random text), so benchmark inputs are reproducible.

    make_workbook(path, rows=2000, seed=1) -> {sheet: rows of values}
        several sheets, shared strings, integers, exact floats, text cells;
        returns the cells as written, in the shape LibreOffice reads back.
    make_sized_workbook(path, target_bytes, seed=0) -> int
        a workbook of about `target_bytes` (within ~10%; used for 10 KB,
        1 MB, 50 MB), mostly random text so that the ZIP does not shrink
        it to nothing; returns the real size.
    workbook_cells(path) -> {sheet: rows of values}
        an xlsx read back with openpyxl, trimmed the same way.
    make_package(path, size=2000, fill="x") -> bytes
        a minimal ZIP package, quick to make at any size; `fill` makes
        packages that differ.
    trim(rows) -> rows
        trailing empty rows and columns dropped, as every read-back is.
"""

import base64
import contextlib
import datetime
import io
import os
import random
import time
import zipfile

import openpyxl
from openpyxl.writer.excel import ExcelWriter

FIXED_DATE = datetime.datetime(2024, 1, 2, 3, 4, 5)
FIXED_ZIP_TIME = time.struct_time((2024, 1, 2, 3, 4, 6, 1, 2, 0))

CATEGORIES = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta",
              "eta", "theta", "iota", "kappa", "Überweisung", "日本語"]


class _FixedZipClock:
    """Stands in for the `time` module inside zipfile while a book is saved,
    so that every member gets the same time stamp instead of "now"."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def localtime(*_args):
        return FIXED_ZIP_TIME


@contextlib.contextmanager
def _fixed_zip_clock():
    real = zipfile.time
    zipfile.time = _FixedZipClock()
    try:
        yield
    finally:
        zipfile.time = real


def _save(book, path):
    # Workbook.save() stamps "modified" with the current time; the writer
    # underneath it keeps the date set here.
    book.properties.created = FIXED_DATE
    book.properties.modified = FIXED_DATE
    book.properties.creator = "cellvault tests"
    if book.write_only and not book.worksheets:
        book.create_sheet()
    with _fixed_zip_clock():
        archive = zipfile.ZipFile(os.fspath(path), "w", zipfile.ZIP_DEFLATED,
                                  allowZip64=True)
        ExcelWriter(book, archive).save()


def trim(rows):
    """Drops trailing rows and columns without any value, so that what a
    reader returns compares with what was written."""
    rows = [list(r) for r in rows]
    while rows and all(v is None for v in rows[-1]):
        rows.pop()
    width = 0
    for r in rows:
        used = [i for i, v in enumerate(r) if v is not None]
        if used:
            width = max(width, used[-1] + 1)
    return [(r + [None] * width)[:width] for r in rows]


def make_workbook(path, rows=2000, seed=1):
    """make_workbook writes a three-sheet workbook to `path` and returns its
    cells: "Data" (`rows` rows of repeated category names, integers, floats
    that are exact in binary, text), "Summary" (a few labels and numbers, a
    gap row and column), "Notes" (long and non-ASCII strings)."""
    rng = random.Random(seed)
    book = openpyxl.Workbook()
    expected = {}

    data = book.active
    data.title = "Data"
    table = [["id", "category", "amount", "ratio", "label"]]
    for i in range(1, rows + 1):
        table.append([
            i,
            CATEGORIES[rng.randrange(len(CATEGORIES))],   # shared strings
            rng.randrange(-10**6, 10**6),
            rng.randrange(-4096, 4096) / 64,               # exact binary fraction
            "item %05d %s" % (i, rng.choice(["x", "yy", "zzz"])),
        ])
    for row in table:
        data.append(row)
    expected["Data"] = table

    summary = book.create_sheet("Summary")
    summary["A1"] = "rows"
    summary["B1"] = rows
    summary["A2"] = "seed"
    summary["B2"] = seed
    summary["D4"] = "corner"
    expected["Summary"] = [["rows", rows, None, None],
                           ["seed", seed, None, None],
                           [None, None, None, None],
                           [None, None, None, "corner"]]

    notes = book.create_sheet("Notes")
    long_text = " ".join(CATEGORIES) * 20
    notes_rows = [["long", long_text], ["quote", 'a "quoted" <tag> & more'],
                  ["unicode", "Grüße – ünïcödé ✓ 𝄞"]]
    for row in notes_rows:
        notes.append(row)
    expected["Notes"] = notes_rows

    _save(book, path)
    return {name: trim(sheet) for name, sheet in expected.items()}


def _sized_rows(rng, count):
    for i in range(count):
        # 45 random bytes -> 60 Base64 characters: about 6 bits of entropy
        # per character, so the ZIP keeps roughly three quarters of it.
        yield [i, CATEGORIES[i % len(CATEGORIES)], rng.randrange(10**9),
               base64.b64encode(rng.randbytes(45)).decode("ascii"),
               base64.b64encode(rng.randbytes(45)).decode("ascii")]


def _write_sized(path, rows, seed):
    rng = random.Random(seed)
    book = openpyxl.Workbook(write_only=True)
    sheet = book.create_sheet("Bench")
    for row in _sized_rows(rng, rows):
        sheet.append(row)
    _save(book, path)
    return os.path.getsize(path)


def make_sized_workbook(path, target_bytes, seed=0):
    """make_sized_workbook writes a one-sheet workbook of about
    `target_bytes` to `path` (same arguments, same bytes) and returns its
    size. Rows are estimated from a small calibration book, then corrected
    once if the result is more than 10% off."""
    empty = _write_sized(path, 0, seed)
    sample_rows = 200
    per_row = max(1.0, (_write_sized(path, sample_rows, seed) - empty) / sample_rows)
    rows = max(1, round((target_bytes - empty) / per_row))
    size = _write_sized(path, rows, seed)
    if abs(size - target_bytes) > 0.1 * target_bytes and rows > 1:
        per_row = (size - empty) / rows
        rows = max(1, round((target_bytes - empty) / per_row))
        size = _write_sized(path, rows, seed)
    return size


def workbook_cells(path):
    """workbook_cells reads every sheet of an .xlsx with openpyxl and
    returns {sheet: rows}, trimmed like LibreOffice's read-back."""
    book = openpyxl.load_workbook(os.fspath(path), read_only=True, data_only=True)
    try:
        return {ws.title: trim(ws.iter_rows(values_only=True)) for ws in book.worksheets}
    finally:
        book.close()


def make_package(path, size=2000, fill="x"):
    """make_package writes a small ZIP package whose workbook part holds
    `size` characters of `fill` repeated, and returns its bytes."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("xl/workbook.xml", (fill * size)[:size])
    data = buf.getvalue()
    path.write_bytes(data)
    return data
