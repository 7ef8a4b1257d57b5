"""Locked files built in Python, for the reader's interoperability tests.

The reader must open files that other writers make with parameters that
cellvault never writes: Agile encryption with SHA-1, SHA-256 or SHA-384,
AES-128 or AES-192, other salt sizes and spin counts, without dataIntegrity;
and the Standard encryption of older office suites. These builders follow
[MS-OFFCRYPTO] 2.3.4.5 to 2.3.4.15 with hashlib, hmac and the `cryptography`
package, and msoffcrypto-tool's own container writer wraps the two streams,
so that no byte comes from cellvault. Each test first proves a built file
with msoffcrypto-tool's decryption before the reader sees it.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import io
import os
import struct

import msoffcrypto
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from msoffcrypto.method.container.ecma376_encrypted import ECMA376Encrypted

HASH_LEN = {"SHA1": 20, "SHA256": 32, "SHA384": 48, "SHA512": 64}
BLOCK_VERIFIER_INPUT = bytes.fromhex("fea7d2763b4b9e79")
BLOCK_VERIFIER_VALUE = bytes.fromhex("d7aa0f6d3061344e")
BLOCK_KEY_VALUE = bytes.fromhex("146e0be7abacd0d6")
BLOCK_HMAC_KEY = bytes.fromhex("5fb2ad010cb9e1f6")
BLOCK_HMAC_VALUE = bytes.fromhex("a0677f02b22c8433")
NS = "http://schemas.microsoft.com/office/2006/encryption"
NS_P = "http://schemas.microsoft.com/office/2006/keyEncryptor/password"
NS_C = "http://schemas.microsoft.com/office/2006/keyEncryptor/certificate"


def _h(name: str, *parts: bytes) -> bytes:
    return hashlib.new(name.lower(), b"".join(parts)).digest()


def _fit(data: bytes, n: int) -> bytes:
    return data[:n] if len(data) >= n else data + b"\x36" * (n - len(data))


def _pad16(data: bytes) -> bytes:
    return data + b"\0" * (-len(data) % 16)


def _cbc(key: bytes, iv: bytes, data: bytes) -> bytes:
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(_pad16(data)) + enc.finalize()


def _ecb(key: bytes, data: bytes) -> bytes:
    enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return enc.update(_pad16(data)) + enc.finalize()


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


def agile_streams(package: bytes, password: str, *, hash_name: str = "SHA512",
                  key_bits: int = 256, spins: int = 100000, salt_len: int = 16,
                  integrity: bool = True) -> tuple[bytes, bytes]:
    """Returns (EncryptionInfo, EncryptedPackage) of an Agile file."""
    hlen = HASH_LEN[hash_name]
    key = os.urandom(key_bits // 8)
    data_salt = os.urandom(salt_len)
    out = [struct.pack("<Q", len(package))]
    for i in range(0, len(package), 4096):
        iv = _fit(_h(hash_name, data_salt, struct.pack("<I", i // 4096)), 16)
        out.append(_cbc(key, iv, package[i:i + 4096]))
    stream = b"".join(out)

    pw_salt = os.urandom(salt_len)
    h = _h(hash_name, pw_salt, password.encode("utf-16-le"))
    for i in range(spins):
        h = _h(hash_name, struct.pack("<I", i), h)

    def pw_key(block: bytes) -> bytes:
        return _fit(_h(hash_name, h, block), key_bits // 8)

    pw_iv = _fit(pw_salt, 16)
    verifier = os.urandom(salt_len)
    common = (f'blockSize="16" keyBits="{key_bits}" hashSize="{hlen}" '
              f'cipherAlgorithm="AES" cipherChaining="ChainingModeCBC" hashAlgorithm="{hash_name}"')
    integrity_xml = ""
    if integrity:
        mac_key = os.urandom(hlen)
        mac = hmac.new(mac_key, stream, hash_name.lower()).digest()
        enc_key = _cbc(key, _fit(_h(hash_name, data_salt, BLOCK_HMAC_KEY), 16), mac_key)
        enc_mac = _cbc(key, _fit(_h(hash_name, data_salt, BLOCK_HMAC_VALUE), 16), mac)
        integrity_xml = (f'<dataIntegrity encryptedHmacKey="{_b64(enc_key)}" '
                         f'encryptedHmacValue="{_b64(enc_mac)}"/>')
    xml = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
        f'<encryption xmlns="{NS}" xmlns:p="{NS_P}" xmlns:c="{NS_C}">'
        f'<keyData saltSize="{salt_len}" {common} saltValue="{_b64(data_salt)}"/>'
        f"{integrity_xml}"
        f'<keyEncryptors><keyEncryptor uri="{NS_P}">'
        f'<p:encryptedKey spinCount="{spins}" saltSize="{salt_len}" {common} '
        f'saltValue="{_b64(pw_salt)}" '
        f'encryptedVerifierHashInput="{_b64(_cbc(pw_key(BLOCK_VERIFIER_INPUT), pw_iv, verifier))}" '
        f'encryptedVerifierHashValue="{_b64(_cbc(pw_key(BLOCK_VERIFIER_VALUE), pw_iv, _h(hash_name, verifier)))}" '
        f'encryptedKeyValue="{_b64(_cbc(pw_key(BLOCK_KEY_VALUE), pw_iv, key))}"/>'
        "</keyEncryptor></keyEncryptors></encryption>"
    )
    return struct.pack("<HHI", 4, 4, 0x40) + xml.encode(), stream


def standard_key(password: str, salt: bytes, key_bits: int) -> bytes:
    h = hashlib.sha1(salt + password.encode("utf-16-le")).digest()
    for i in range(50000):
        h = hashlib.sha1(struct.pack("<I", i) + h).digest()
    h = hashlib.sha1(h + struct.pack("<I", 0)).digest()
    x1 = hashlib.sha1(bytes(b ^ 0x36 for b in h.ljust(64, b"\0")[:20]) + b"\x36" * 44).digest()
    x2 = hashlib.sha1(bytes(b ^ 0x5C for b in h.ljust(64, b"\0")[:20]) + b"\x5c" * 44).digest()
    return (x1 + x2)[: key_bits // 8]


def standard_streams(package: bytes, password: str, *, key_bits: int = 128,
                     version: tuple[int, int] = (3, 2), alg_id: int | None = None
                     ) -> tuple[bytes, bytes]:
    """Returns (EncryptionInfo, EncryptedPackage) of a Standard file."""
    salt = os.urandom(16)
    key = standard_key(password, salt, key_bits)
    verifier = os.urandom(16)
    if alg_id is None:
        alg_id = {128: 0x660E, 192: 0x660F, 256: 0x6610}[key_bits]
    csp = "Microsoft Enhanced RSA and AES Cryptographic Provider\0".encode("utf-16-le")
    flags = 0x24
    header = struct.pack("<8I", flags, 0, alg_id, 0x8004, key_bits, 0x18, 0, 0) + csp
    verifier_blob = (struct.pack("<I", 16) + salt + _ecb(key, verifier) + struct.pack("<I", 20)
                     + _ecb(key, hashlib.sha1(verifier).digest()))
    info = struct.pack("<HHII", version[0], version[1], flags, len(header)) + header + verifier_blob
    return info, struct.pack("<Q", len(package)) + _ecb(key, package)


def container(info: bytes, package_stream: bytes) -> bytes:
    """Wraps the two streams in msoffcrypto-tool's version 3 container."""
    out = io.BytesIO()
    ECMA376Encrypted(package_stream, info).write_to(out)
    return out.getvalue()


def peer_decrypt(data: bytes, password: str, *, integrity: bool = True,
                 verifier: bool = True) -> bytes:
    """msoffcrypto-tool's decryption, checking the verifier (and, for Agile
    files, the integrity value). Its verifier check compares the SHA-1
    verifier hash with the 32 bytes it decrypts to, so it cannot check
    SHA-1 files: |verifier| False leaves it out."""
    office = msoffcrypto.OfficeFile(io.BytesIO(data))
    office.load_key(password=password, verify_password=verifier)
    out = io.BytesIO()
    if integrity:
        office.decrypt(out, verify_integrity=True)
    else:
        office.decrypt(out)
    return out.getvalue()
