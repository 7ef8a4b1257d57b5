"""Independent readers of the files cellvault writes, for the tests.

Containers are read with olefile and decrypted with msoffcrypto-tool, both
from PyPI and written without reference to cellvault. msoffcrypto-tool cannot
take an empty password, so for that case (and as a second opinion) the
package key is recovered here from the EncryptionInfo descriptor with
hashlib and the `cryptography` package, following [MS-OFFCRYPTO] 2.3.4.11
and 2.3.4.13, and handed to msoffcrypto-tool as its secret key.
"""

from __future__ import annotations

import base64
import hashlib
import io
import struct
import xml.etree.ElementTree as ET
import zipfile

import msoffcrypto
import olefile
from msoffcrypto.format.ooxml import OOXMLFile
from msoffcrypto.method.ecma376_agile import ECMA376Agile
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

NS = "{http://schemas.microsoft.com/office/2006/encryption}"
NS_P = "{http://schemas.microsoft.com/office/2006/keyEncryptor/password}"
KEY_VALUE_BLOCK_KEY = bytes.fromhex("146e0be7abacd0d6")


def read_container(path) -> tuple[olefile.OleFileIO, dict[str, bytes]]:
    """Opens |path| with olefile and returns it with its streams by name."""
    ole = olefile.OleFileIO(str(path))
    streams = {"/".join(entry): ole.openstream(entry).read() for entry in ole.listdir()}
    return ole, streams


def container(path) -> tuple[int, int, list[list[str]]]:
    """(major version, sector size, stream paths) as olefile reads them."""
    with olefile.OleFileIO(str(path)) as ole:
        return ole.dll_version, ole.sectorsize, sorted(ole.listdir())


def descriptor(info: bytes) -> tuple[ET.Element, ET.Element]:
    """Parses an EncryptionInfo stream; returns (keyData, p:encryptedKey)."""
    assert info[:8] == bytes.fromhex("0400040040000000"), info[:8].hex()
    root = ET.fromstring(info[8:])
    key_data = root.find(NS + "keyData")
    encrypted_key = root.find(f"{NS}keyEncryptors/{NS}keyEncryptor/{NS_P}encryptedKey")
    assert key_data is not None and encrypted_key is not None
    return key_data, encrypted_key


def package_key(info: bytes, password: str) -> bytes:
    """Recovers the package key from EncryptionInfo with |password|."""
    _, enc = descriptor(info)
    salt = base64.b64decode(enc.get("saltValue"))
    spins = int(enc.get("spinCount"))
    h = hashlib.sha512(salt + password.encode("utf-16-le")).digest()
    for i in range(spins):
        h = hashlib.sha512(struct.pack("<I", i) + h).digest()
    key = hashlib.sha512(h + KEY_VALUE_BLOCK_KEY).digest()[: int(enc.get("keyBits")) // 8]
    encrypted = base64.b64decode(enc.get("encryptedKeyValue"))
    decryptor = Cipher(algorithms.AES(key), modes.CBC(salt)).decryptor()
    return decryptor.update(encrypted) + decryptor.finalize()


def decrypt(path, password: str, *, independent_key: bool = False) -> bytes:
    """Decrypts the file at |path| with msoffcrypto-tool, checking the
    password verifier and the data integrity HMAC, and returns the plain
    package. With |independent_key| (always for the empty password) the
    package key is recovered by package_key() instead."""
    with open(path, "rb") as f:
        office = OOXMLFile(f)
        if password and not independent_key:
            office.load_key(password=password, verify_password=True)
        else:
            _, streams = read_container(path)
            office.load_key(secret_key=package_key(streams["EncryptionInfo"], password))
        info = office.info
        # The file-level decrypt of msoffcrypto-tool insists on a ZIP
        # package; its agile primitives take any bytes.
        with office.file.openstream("EncryptedPackage") as stream:
            if not ECMA376Agile.verify_integrity(
                    office.secret_key, info["keyDataSalt"], info["keyDataHashAlgorithm"],
                    info["keyDataBlockSize"], info["encryptedHmacKey"],
                    info["encryptedHmacValue"], stream):
                raise msoffcrypto.exceptions.InvalidKeyError("data integrity check failed")
        with office.file.openstream("EncryptedPackage") as stream:
            plain = ECMA376Agile.decrypt(office.secret_key, info["keyDataSalt"],
                                         info["keyDataHashAlgorithm"], stream)
        if zipfile.is_zipfile(io.BytesIO(plain)):
            out = io.BytesIO()
            office.decrypt(out, verify_integrity=True)
            assert out.getvalue() == plain
    return plain
