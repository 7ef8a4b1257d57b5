"""Word documents and presentations lock as workbooks do: the package's
bytes are never examined. LibreOffice Writer and Impress open what the
command writes with its default container and show the same text; and
LibreOffice refuses a file locked with the empty password, whoever wrote
it, which the Python function accepts (the README says so)."""

import os
import subprocess
from pathlib import Path

import pytest
from docx import Document
from msoffcrypto.format.ooxml import OOXMLFile
from pptx import Presentation

from cli_helpers import built_tool, cli_path
from libreoffice import WrongPassword, read_document
from libreoffice import libreoffice  # noqa: F401  (fixture)
from oracle import decrypt

pytestmark = pytest.mark.libreoffice

PASSWORD = "pä$$wörd ✓ 𝄞"

PARAGRAPHS = [
    "Quarterly letter",
    "Dear shareholders, the year closed with revenue of 1 234 567 €.",
    "Übersicht — 概要 — résumé",
    "",
    "Last line.",
]

SLIDES = [
    ("Results", "Revenue up 12 %"),
    ("Outlook", "Hiring in Zürich and 東京"),
    ("Questions", "Thank you"),
]


def lock_with_command(src: Path, dst: Path, password: str) -> None:
    """The command's default container, as a user would run it."""
    env = dict(os.environ, CELLVAULT_PASSWORD=password)
    done = subprocess.run([cli_path(), "encrypt", "-q", "--password-env", "CELLVAULT_PASSWORD",
                           str(src), str(dst)],
                          env=env, capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr


def make_document(path: Path) -> None:
    doc = Document()
    for text in PARAGRAPHS:
        doc.add_paragraph(text)
    doc.save(str(path))


def make_presentation(path: Path) -> None:
    deck = Presentation()
    layout = deck.slide_layouts[1]  # title and content
    for title, body in SLIDES:
        slide = deck.slides.add_slide(layout)
        slide.shapes.title.text = title
        slide.placeholders[1].text = body
    deck.save(str(path))


def test_writer_opens_a_locked_word_document(tmp_path, libreoffice):
    plain, locked = tmp_path / "letter.docx", tmp_path / "letter-locked.docx"
    make_document(plain)
    lock_with_command(plain, locked, PASSWORD)
    assert locked.read_bytes()[:8] == bytes.fromhex("D0CF11E0A1B11AE1")

    # Writer joins paragraphs with a newline; python-docx's new document
    # starts with none.
    assert read_document(locked, PASSWORD) == {"text": "\n".join(PARAGRAPHS)}
    with pytest.raises(WrongPassword):
        read_document(locked, PASSWORD[:-1])


def test_impress_opens_a_locked_presentation(tmp_path, libreoffice):
    plain, locked = tmp_path / "deck.pptx", tmp_path / "deck-locked.pptx"
    make_presentation(plain)
    lock_with_command(plain, locked, PASSWORD)

    slides = read_document(locked, PASSWORD)["slides"]
    assert len(slides) == len(SLIDES)
    for shapes, (title, body) in zip(slides, SLIDES):
        assert shapes == [title, body]
    with pytest.raises(WrongPassword):
        read_document(locked, "wrong")


def locked_by_peer(src: Path, dst: Path, password: str) -> None:
    with src.open("rb") as plain, dst.open("wb") as out:
        OOXMLFile(plain).encrypt(password, out)


def locked_by_pipeline(src: Path, dst: Path, password: str) -> None:
    # The Python function's own work, in the container version LibreOffice reads.
    env = dict(os.environ, CELLVAULT_PASSWORD=password)
    subprocess.run([built_tool("cfb_write"), "encrypt", "--version", "3", str(src), str(dst)],
                   env=env, check=True, timeout=120)


@pytest.mark.parametrize("lock", [locked_by_peer, locked_by_pipeline], ids=["peer", "pipeline"])
def test_libreoffice_refuses_the_empty_password(tmp_path, libreoffice, lock):
    plain, locked = tmp_path / "letter.docx", tmp_path / "letter-locked.docx"
    make_document(plain)
    lock(plain, locked, "")
    # The file is sound: an independent reader opens it with the empty password.
    assert decrypt(locked, "") == plain.read_bytes()
    with pytest.raises(WrongPassword):
        read_document(locked, "")
    # The same writer with any other password is opened: it is the empty
    # password that LibreOffice will not take.
    other = tmp_path / "letter-x.docx"
    lock(plain, other, "x")
    assert read_document(other, "x") == {"text": "\n".join(PARAGRAPHS)}
