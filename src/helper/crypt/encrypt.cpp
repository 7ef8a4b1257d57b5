// The encryption driver: from the plain package and the password to the
// finished container.
//
// Every cryptographic value is computed before the destination is touched,
// so a failure there leaves the file system as it was. The destination is
// then written through AtomicOutput: a temporary file beside it, renamed
// into place only when complete.

#include "helper/crypt/encrypt.h"

#include <array>
#include <limits>
#include <utility>

#include "cfb/compound_file.h"
#include "cfb/format.h"
#include "common/abort.h"
#include "common/atomic_output.h"
#include "common/secure.h"
#include "helper/crypt/crypt.h"
#include "helper/crypt/encryption_info.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/integrity.h"
#include "helper/crypt/random.h"

namespace cellvault {
namespace {

// What cellvault writes, for the package (the key data) and the password
// key alike: AES-256 in CBC mode, SHA-512 for the IVs and the keys, and
// 100000 spins of the password hash.
constexpr std::string_view kHash = kSha512.name;
constexpr uint64_t kHashSize = kSha512.digest_len;
constexpr uint64_t kBlockSize = kAesBlockLen;
constexpr uint64_t kKeyBits = 8 * kAesKeyLen;
constexpr uint64_t kSpinCount = 100000;

// The block keys of the three password keys: the package key's, the
// verifier input's and the verifier hash's, in that order.
constexpr std::array<ByteView, 3> kPasswordBlockKeys = {
    ByteView(kBlockKeyEncryptedKeyValue), ByteView(kBlockKeyVerifierHashInput),
    ByteView(kBlockKeyVerifierHashValue)};

// The buffer's spare room is what the stream needs around the package.
static_assert(PackageBuffer::kHeadroom == kStreamSizeLen);
static_assert(PackageBuffer::kTailroom == kBlockSize - 1);

// encrypt_value encrypts one key or verifier value under |key| and |iv|.
Bytes encrypt_value(ByteView key, ByteView iv, ByteView value) {
  return unwrap(crypt(/*encrypt=*/true, kCipherAes, kChainingCbc, key, iv,
                      value));
}

// cipher_params gives the descriptor's parameters of a key |key_bits| long
// made with |salt|: the cipher and the hash that cellvault writes.
CipherParams cipher_params(ByteView salt, uint64_t key_bits) {
  return {.salt = salt,
          .block_size = kBlockSize,
          .key_bits = key_bits,
          .hash_size = kHashSize,
          .cipher_algorithm = kCipherAes,
          .cipher_chaining = kChainingCbc,
          .hash_algorithm = kHash};
}

// write_stream writes |data| as the stream |name| and closes it, so that an
// error of the last flush aborts the call instead of being lost.
void write_stream(cfb::CompoundFile& file, std::string_view name,
                  ByteView data) {
  cfb::Stream stream = unwrap(file.create_stream(name));
  unwrap(stream.write_all(data));
  unwrap(stream.close());
}

}  // namespace

uint64_t max_package_len(cfb::Version version) {
  if (version != cfb::Version::V3) return std::numeric_limits<uint64_t>::max();
  constexpr uint64_t kMaxV3 =
      (cfb::kMaxStreamLenV3 - kStreamSizeLen) / kBlockSize * kBlockSize;
  static_assert(kMaxV3 == (uint64_t{1} << 31) - 16);
  return kMaxV3;
}

FileSecrets draw_file_secrets() {
  // The order of the draws is fixed: 32, 16, 16, 64, 16 bytes.
  FileSecrets out;
  out.package_key = gen_random_32();
  out.key_data_salt = gen_random_16();
  out.password_salt = gen_random_16();
  out.hmac_key = gen_random_64();
  out.verifier_hash_input = gen_random_16();
  return out;
}

PasswordKeys derive_password_keys(std::string_view password,
                                  ByteView password_salt) {
  // The three password keys differ only in their block key, so one spin
  // chain serves all of them.
  return convert_password_to_keys(password, kHash, password_salt, kSpinCount,
                                  kKeyBits, kPasswordBlockKeys);
}

std::vector<PasswordKeys> derive_password_keys(
    std::span<const PasswordAndSalt> inputs, const lanes::Sha512Lanes& kernel) {
  return convert_passwords_to_keys(inputs, kHash, kSpinCount, kKeyBits,
                                   kPasswordBlockKeys, kernel);
}

SealedPackage seal_package(PackageBuffer package, const FileSecrets& secrets,
                           const PasswordKeys& keys) {
  const SecretBytes& package_key = secrets.package_key;
  const SecretBytes& key_data_salt = secrets.key_data_salt;
  const SecretBytes& password_salt = secrets.password_salt;
  const uint64_t key_data_key_bits = 8 * package_key.size();

  SealedPackage out;
  out.stream_len = crypt_package_in_place(
      kCipherAes, kChainingCbc, kHash, kBlockSize, key_data_salt, package_key,
      package.storage(), package.package_len());
  out.buffer = std::move(package);

  // Data integrity ([MS-OFFCRYPTO] 2.3.4.14): an HMAC over the whole
  // EncryptedPackage stream, size field included, under a random key; key
  // and value are stored encrypted under the package key.
  const Bytes hmac_key_iv =
      create_iv(kHash, key_data_salt, kBlockSize, kBlockKeyIntegrityKey);
  const Bytes encrypted_hmac_key =
      encrypt_value(package_key, hmac_key_iv, secrets.hmac_key);
  const SecretBytes hmac_value =
      unwrap(hmac(kHash, secrets.hmac_key, {out.encrypted_package()}));
  const Bytes hmac_value_iv =
      create_iv(kHash, key_data_salt, kBlockSize, kBlockKeyIntegrityValue);
  const Bytes encrypted_hmac_value =
      encrypt_value(package_key, hmac_value_iv, hmac_value);

  // The password salt is the IV of all three password-key encryptions.
  const Bytes encrypted_key_value =
      encrypt_value(keys[0], password_salt, package_key);
  const Bytes encrypted_verifier_hash_input =
      encrypt_value(keys[1], password_salt, secrets.verifier_hash_input);
  const SecretBytes verifier_hash_value =
      unwrap(hash(kHash, {ByteView(secrets.verifier_hash_input)}));
  const Bytes encrypted_verifier_hash_value =
      encrypt_value(keys[2], password_salt, verifier_hash_value);

  out.encryption_info = build_encryption_info({
      .key_data = cipher_params(key_data_salt, key_data_key_bits),
      .encrypted_hmac_key = encrypted_hmac_key,
      .encrypted_hmac_value = encrypted_hmac_value,
      .spin_count = kSpinCount,
      .key_encryptor = cipher_params(password_salt, kKeyBits),
      .encrypted_verifier_hash_input = encrypted_verifier_hash_input,
      .encrypted_verifier_hash_value = encrypted_verifier_hash_value,
      .encrypted_key_value = encrypted_key_value,
  });
  return out;
}

void write_container(File& file, const SealedPackage& sealed,
                     cfb::Version version) {
  // The container writes through the output's file, which it borrows.
  cfb::CompoundFile container = unwrap(cfb::create_with_file(file, version));
  write_stream(container, kEncryptionInfoStream, sealed.encryption_info);
  write_stream(container, kEncryptedPackageStream, sealed.encrypted_package());
}

void encrypt(std::string_view to_path, PackageBuffer package,
             std::string_view password, const OutputOptions& options,
             const OutputCheck& check) {
  const FileSecrets secrets = draw_file_secrets();
  const PasswordKeys keys = derive_password_keys(password, secrets.password_salt);
  SealedPackage sealed = seal_package(std::move(package), secrets, keys);

  // Only now is the destination touched.
  AtomicOutput output =
      unwrap(AtomicOutput::begin(to_path, options.replace_existing));
  if (check && output.in_place()) {
    abort_call("the output is not a regular file, so it would be written in place and "
               "cannot be checked before it is published");
  }
  write_container(output.file(), sealed, options.version);
  // The stream's bytes are in the file; give the memory back before the
  // flush to disk.
  sealed.buffer = PackageBuffer();
  if (check) check(output.file());
  unwrap(output.commit());
}

}  // namespace cellvault
