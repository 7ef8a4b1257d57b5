// The encryption driver: from the plain package and the password to the
// finished container.
//
// The secrets are drawn and the password keys derived before the
// destination is touched. The whole-buffer path also encrypts the package
// first; the streaming path encrypts it as it writes it. Either way the
// destination is written through AtomicOutput: a temporary file beside it,
// renamed into place only when complete, so a failure midway leaves the
// file system as it was.

#include "helper/crypt/encrypt.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cfb/compound_file.h"
#include "cfb/format.h"
#include "common/abort.h"
#include "common/atomic_output.h"
#include "common/secure.h"
#include "common/source.h"
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

// A source short enough to be read whole is never streamed.
static_assert(kStreamMinLen >= kStreamChunkLen);

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

// make_encryption_info makes the "EncryptionInfo" stream from the file's
// secrets, its password keys and |hmac_value|, the HMAC of the whole
// "EncryptedPackage" stream.
Bytes make_encryption_info(const FileSecrets& secrets, const PasswordKeys& keys,
                           ByteView hmac_value) {
  const SecretBytes& package_key = secrets.package_key;
  const SecretBytes& key_data_salt = secrets.key_data_salt;
  const SecretBytes& password_salt = secrets.password_salt;
  const uint64_t key_data_key_bits = 8 * package_key.size();

  // Data integrity ([MS-OFFCRYPTO] 2.3.4.14): an HMAC over the whole
  // EncryptedPackage stream, size field included, under a random key; key
  // and value are stored encrypted under the package key.
  const Bytes hmac_key_iv =
      create_iv(kHash, key_data_salt, kBlockSize, kBlockKeyIntegrityKey);
  const Bytes encrypted_hmac_key =
      encrypt_value(package_key, hmac_key_iv, secrets.hmac_key);
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

  return build_encryption_info({
      .key_data = cipher_params(key_data_salt, key_data_key_bits),
      .encrypted_hmac_key = encrypted_hmac_key,
      .encrypted_hmac_value = encrypted_hmac_value,
      .spin_count = kSpinCount,
      .key_encryptor = cipher_params(password_salt, kKeyBits),
      .encrypted_verifier_hash_input = encrypted_verifier_hash_input,
      .encrypted_verifier_hash_value = encrypted_verifier_hash_value,
      .encrypted_key_value = encrypted_key_value,
  });
}

// Plain bytes are encrypted and hashed this many at a time, so that the
// HMAC reads the ciphertext while it is still in the level-2 cache.
constexpr size_t kFuseLen = 256 * 1024;
static_assert(kFuseLen % kSegmentLen == 0);

// read_fully reads from |source| until |out| is full or the source ends,
// and returns the count. A failing read aborts the call with the error's
// text but not as its cause: the cause of an abort names the output.
size_t read_fully(File& source, std::span<uint8_t> out) {
  size_t got = 0;
  while (got < out.size()) {
    IoResult<size_t> n = source.read(out.subspan(got));
    if (!n.ok()) abort_call(std::string(kUnwrapPrefix) + n.error().render());
    if (*n == 0) break;
    got += *n;
  }
  return got;
}

[[noreturn]] void abort_changed(uint64_t package_len, const char* how) {
  abort_call("the source changed while it was read: it " + std::string(how) +
             " the " + std::to_string(package_len) +
             " bytes that it held when it was opened");
}

// Writeback asks the kernel to start writing out what the pass has written
// so far, so that the final flush to disk waits for little. It only starts
// the writing: durability still comes from the flush at commit, which also
// reports any write error; a file that cannot do this is left alone.
class Writeback {
 public:
  explicit Writeback(const File& file) : file_(file) {
    struct stat st;
    enabled_ = ::fstat(file.fd(), &st) == 0 && S_ISREG(st.st_mode);
  }

  void advance() {
    struct stat st;
    if (!enabled_ || ::fstat(file_.fd(), &st) != 0) return;
    const auto end = static_cast<uint64_t>(st.st_size);
    if (end <= from_) return;
    if (::sync_file_range(file_.fd(), static_cast<off_t>(from_),
                          static_cast<off_t>(end - from_),
                          SYNC_FILE_RANGE_WRITE) != 0) {
      enabled_ = false;
      return;
    }
    from_ = end;
  }

 private:
  const File& file_;
  bool enabled_ = false;
  uint64_t from_ = 0;
};

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
  SealedPackage out;
  out.stream_len = crypt_package_in_place(
      kCipherAes, kChainingCbc, kHash, kBlockSize, secrets.key_data_salt,
      secrets.package_key, package.storage(), package.package_len());
  out.buffer = std::move(package);
  const SecretBytes hmac_value =
      unwrap(hmac(kHash, secrets.hmac_key, {out.encrypted_package()}));
  out.encryption_info = make_encryption_info(secrets, keys, hmac_value);
  return out;
}

void write_container(File& file, const SealedPackage& sealed,
                     cfb::Version version) {
  // The container writes through the output's file, which it borrows.
  cfb::CompoundFile container = unwrap(cfb::create_with_file(file, version));
  write_stream(container, kEncryptionInfoStream, sealed.encryption_info);
  write_stream(container, kEncryptedPackageStream, sealed.encrypted_package());
}

namespace {

// stream_container is write_streamed_container with the password keys
// asked of |keys| only once the package is written: they are needed for
// the "EncryptionInfo" stream alone.
void stream_container(File& file, File& source, uint64_t package_len,
                      const FileSecrets& secrets,
                      const std::function<const PasswordKeys&()>& keys,
                      cfb::Version version, size_t chunk_len) {
  if (chunk_len == 0 || chunk_len % kSegmentLen != 0) {
    abort_call("write_streamed_container: a chunk of " + std::to_string(chunk_len) +
               " bytes is not a whole number of segments");
  }
  cfb::CompoundFile container = unwrap(cfb::create_with_file(file, version));
  // The "EncryptionInfo" stream first, as write_container writes it: bytes
  // of the same length now give the file the same layout, and the real
  // ones take their place once the HMAC is known.
  write_stream(container, kEncryptionInfoStream, Bytes(kEncryptionInfoLen, 0));

  Hmac mac = unwrap(Hmac::create(kHash, secrets.hmac_key));
  cfb::Stream stream = unwrap(container.create_stream(kEncryptedPackageStream));
  uint8_t size_field[kStreamSizeLen];
  store_u64le(size_field, package_len);
  mac.update(size_field);
  unwrap(stream.write_all(size_field));

  Writeback writeback(file);
  if (package_len > 0) {
    PackageCipher cipher =
        PackageCipher::create(kCipherAes, kChainingCbc, kHash, kBlockSize,
                              secrets.key_data_salt, secrets.package_key);
    const size_t buffer_len =
        static_cast<size_t>(std::min<uint64_t>(chunk_len, package_len));
    // Room for the last segment's padding after the chunk.
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(buffer_len + kBlockSize - 1);
    uint64_t segment = 0;
    for (uint64_t left = package_len; left > 0;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_len, left));
      if (read_fully(source, std::span<uint8_t>(buffer.get(), want)) < want) {
        abort_changed(package_len, "ended before");
      }
      size_t sealed = 0;
      for (size_t at = 0; at < want; at += kFuseLen) {
        const size_t n = std::min(kFuseLen, want - at);
        const size_t len = cipher.encrypt(buffer.get() + at, n, segment + at / kSegmentLen);
        mac.update(ByteView(buffer.get() + at, len));
        sealed += len;
      }
      unwrap(stream.write_all(ByteView(buffer.get(), sealed)));
      writeback.advance();
      segment += want / kSegmentLen;
      left -= want;
    }
  }
  uint8_t probe[1];
  if (read_fully(source, probe) != 0) abort_changed(package_len, "went on past");
  unwrap(stream.close());

  const SecretBytes hmac_value = mac.finish();
  const Bytes info = make_encryption_info(secrets, keys(), hmac_value);
  if (info.size() != kEncryptionInfoLen) {
    abort_call("write_streamed_container: an EncryptionInfo stream of " +
               std::to_string(info.size()) + " bytes instead of " +
               std::to_string(kEncryptionInfoLen));
  }
  cfb::Stream info_stream = unwrap(container.overwrite_stream(kEncryptionInfoStream));
  unwrap(info_stream.write_all(info));
  unwrap(info_stream.close());
}

}  // namespace

void write_streamed_container(File& file, File& source, uint64_t package_len,
                              const FileSecrets& secrets,
                              const PasswordKeys& keys, cfb::Version version,
                              size_t chunk_len) {
  stream_container(file, source, package_len, secrets,
                   [&]() -> const PasswordKeys& { return keys; }, version, chunk_len);
}

void encrypt_file(std::string_view to_path, File& source, uint64_t package_len,
                  std::string_view password, const OutputOptions& options,
                  size_t chunk_len) {
  const FileSecrets secrets = draw_file_secrets();
  std::optional<PasswordKeys> keys;
  std::exception_ptr failed;
  auto derive = [&] {
    try {
      keys.emplace(derive_password_keys(password, secrets.password_salt));
    } catch (...) {
      failed = std::current_exception();
    }
  };
  // Declared before the output, so that an abort while the package streams
  // waits for the chain (it cannot be stopped) before anything it uses goes.
  std::jthread beside;
  bool started = false;
  if (options.derive_beside) {
    try {
      beside = std::jthread(derive);
      started = true;
    } catch (const std::system_error&) {
      // No thread to be had: the chain runs first, as without the option.
    }
  }
  if (!started) {
    derive();
    if (failed) std::rethrow_exception(failed);
  }
  auto ready_keys = [&]() -> const PasswordKeys& {
    if (beside.joinable()) beside.join();
    if (failed) std::rethrow_exception(failed);
    return *keys;
  };
  AtomicOutput output =
      unwrap(AtomicOutput::begin(to_path, options.replace_existing, options.cancel));
  stream_container(output.file(), source, package_len, secrets, ready_keys,
                   options.version, chunk_len);
  unwrap(output.commit());
}

void encrypt(std::string_view to_path, PackageBuffer package,
             std::string_view password, const OutputOptions& options,
             const OutputCheck& check) {
  const FileSecrets secrets = draw_file_secrets();
  const PasswordKeys keys = derive_password_keys(password, secrets.password_salt);
  SealedPackage sealed = seal_package(std::move(package), secrets, keys);

  // Only now is the destination touched.
  AtomicOutput output =
      unwrap(AtomicOutput::begin(to_path, options.replace_existing, options.cancel));
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
