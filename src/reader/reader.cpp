// Unlocking: the password check, the package key, the integrity check and
// the decryption of EncryptedPackage, a window at a time.
//
// Agile ([MS-OFFCRYPTO] 2.3.4.11 to 2.3.4.15): three keys are derived from
// the password with the key encryptor's hash, salt and spin count; the
// first two decrypt the verifier input and its hash (a wrong password
// gives a hash that does not match), the third the package key. The HMAC
// key and value are encrypted under the package key, the HMAC covering the
// whole EncryptedPackage stream, size field included. Each 4096-byte
// segment k is AES-CBC under the package key with the IV H(keyData salt ||
// LE32(k)).
//
// Standard (2.3.4.7 to 2.3.4.9): one key from 50000 SHA-1 spins; the
// verifier and its SHA-1 are AES-ECB under it, and so is the package.

#include "reader/reader.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <variant>

#include "helper/crypt/agile_format.h"
#include "helper/crypt/utf16.h"
#include "reader/crypto.h"
#include "reader/locked_file.h"

namespace cellvault::reader {

namespace {

bool same(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

ByteView first(ByteView v, size_t n) { return v.first(std::min(n, v.size())); }

// The package key of an Agile file, or kWrongPassword.
ReadResult<SecretBytes> agile_package_key(const AgileDescriptor& d, ByteView password) {
  const AgileCipher& p = d.password;
  const size_t key_len = p.key_bits / 8;
  const SecretBytes iterated = agile_iterated_hash(p.hash, p.salt, password, d.spin_count);
  const Bytes iv = agile_iv(p.hash, p.salt, {});
  const SecretBytes input = decrypt_value(
      agile_key(p.hash, iterated, kBlockKeyVerifierHashInput, key_len), iv,
      d.encrypted_verifier_hash_input);
  const SecretBytes value = decrypt_value(
      agile_key(p.hash, iterated, kBlockKeyVerifierHashValue, key_len), iv,
      d.encrypted_verifier_hash_value);
  const SecretBytes expected = digest(p.hash, {first(input, p.salt.size())});
  if (!same(expected, first(value, hash_len(p.hash)))) return Err{ReadError::wrong_password()};
  SecretBytes key = decrypt_value(agile_key(p.hash, iterated, kBlockKeyEncryptedKeyValue, key_len),
                                  iv, d.encrypted_key_value);
  key.resize(d.key_data.key_bits / 8);
  return key;
}

ReadResult<SecretBytes> standard_package_key(const StandardDescriptor& d, ByteView password) {
  SecretBytes key = standard_key(d.salt, password, d.key_bits / 8);
  AesDecryptor aes(key, AesDecryptor::Mode::kEcb);
  SecretBytes verifier(d.encrypted_verifier.size());
  aes.decrypt({}, d.encrypted_verifier, verifier);
  SecretBytes hash(d.encrypted_verifier_hash.size());
  aes.decrypt({}, d.encrypted_verifier_hash, hash);
  if (!same(digest(HashAlg::kSha1, {verifier}), first(hash, 20))) {
    return Err{ReadError::wrong_password()};
  }
  return key;
}

// check_integrity computes the HMAC over the whole stream, a window at a
// time, and compares it with the one the descriptor holds.
ReadResult<void> check_integrity(const LockedFile& f, const AgileDescriptor& d, ByteView key) {
  const AgileCipher& k = d.key_data;
  const size_t len = hash_len(k.hash);
  const SecretBytes hmac_key = decrypt_value(key, agile_iv(k.hash, k.salt, kBlockKeyIntegrityKey),
                                             d.integrity->encrypted_hmac_key);
  const SecretBytes stored = decrypt_value(
      key, agile_iv(k.hash, k.salt, kBlockKeyIntegrityValue), d.integrity->encrypted_hmac_value);
  Hmac mac(k.hash, first(hmac_key, len));
  const StreamReader& stream = *f.package;
  Bytes window(static_cast<size_t>(std::min<uint64_t>(kWindowLen, stream.size())));
  for (uint64_t at = 0; at < stream.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(window.size(), stream.size() - at));
    CV_TRY(stream.read_at(at, std::span<uint8_t>(window.data(), n)));
    mac.update(ByteView(window.data(), n));
    at += n;
  }
  if (!same(mac.finish(), first(stored, len))) return Err{ReadError::integrity_mismatch()};
  return {};
}

// decrypt_package hands the plain package to |sink| window by window.
// Windows hold whole segments, so each segment's IV is found from its
// index alone.
ReadResult<void> decrypt_package(const LockedFile& f, ByteView key, const PackageSink& sink) {
  static_assert(kWindowLen % kSegmentLen == 0);
  const auto* agile = std::get_if<AgileDescriptor>(&f.descriptor);
  AesDecryptor aes(key, agile ? AesDecryptor::Mode::kCbc : AesDecryptor::Mode::kEcb);
  Bytes window(static_cast<size_t>(std::min<uint64_t>(kWindowLen, f.package_len + kAesBlockLen - 1)));
  uint64_t done = 0;
  while (done < f.package_len) {
    const size_t plain = static_cast<size_t>(std::min<uint64_t>(kWindowLen, f.package_len - done));
    const size_t cipher = (plain + kAesBlockLen - 1) / kAesBlockLen * kAesBlockLen;
    std::span<uint8_t> buf(window.data(), cipher);
    CV_TRY(f.package->read_at(kStreamSizeLen + done, buf));
    if (agile) {
      for (size_t at = 0; at < cipher; at += kSegmentLen) {
        const uint64_t segment = (done + at) / kSegmentLen;
        uint8_t index[4];
        store_u32le(index, static_cast<uint32_t>(segment));
        const Bytes iv = agile_iv(agile->key_data.hash, agile->key_data.salt, ByteView(index, 4));
        const size_t n = std::min(kSegmentLen, cipher - at);
        aes.decrypt(iv, buf.subspan(at, n), buf.subspan(at, n));
      }
    } else {
      aes.decrypt({}, buf, buf);
    }
    CV_TRY(sink(ByteView(window.data(), plain)));
    done += plain;
  }
  OPENSSL_cleanse(window.data(), window.size());
  return {};
}

ReadResult<Report> run(ByteSource& in, std::string_view password, const PackageSink* sink,
                       const DecryptOptions& options) {
  CV_TRY_ASSIGN(LockedFile f, open_locked_file(in));
  Report report;
  report.encryption = describe_descriptor(f.descriptor);
  report.container_version = f.container->version();
  report.package_len = f.package_len;
  const SecretBytes pw = utf16le_from_utf8(password);
  SecretBytes key;
  const auto* agile = std::get_if<AgileDescriptor>(&f.descriptor);
  if (agile) {
    CV_TRY_ASSIGN(key, agile_package_key(*agile, pw));
  } else {
    CV_TRY_ASSIGN(key, standard_package_key(std::get<StandardDescriptor>(f.descriptor), pw));
  }
  report.integrity = Integrity::kAbsent;
  if (agile && agile->integrity) {
    if (options.ignore_integrity) {
      report.integrity = Integrity::kNotChecked;
    } else {
      CV_TRY(check_integrity(f, *agile, key));
      report.integrity = Integrity::kMatches;
    }
  }
  if (sink) CV_TRY(decrypt_package(f, key, *sink));
  return report;
}

}  // namespace

ReadResult<Report> verify_source(ByteSource& in, std::string_view password) {
  return run(in, password, nullptr, {});
}

ReadResult<Report> decrypt_source(ByteSource& in, std::string_view password,
                                  const PackageSink& sink, const DecryptOptions& options) {
  return run(in, password, &sink, options);
}

ReadResult<Report> verify_file(File& in, std::string_view password) {
  CV_TRY_ASSIGN(FileSource source, FileSource::open(in));
  return verify_source(source, password);
}

ReadResult<Report> decrypt_file(File& in, std::string_view password, File& out,
                                const DecryptOptions& options) {
  CV_TRY_ASSIGN(FileSource source, FileSource::open(in));
  uint64_t offset = 0;
  const PackageSink sink = [&](ByteView data) -> ReadResult<void> {
    CV_TRY(from_io(out.write_at(data, offset)));
    offset += data.size();
    return {};
  };
  return decrypt_source(source, password, sink, options);
}

}  // namespace cellvault::reader
