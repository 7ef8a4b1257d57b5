#include "helper/crypt/crypt.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "common/abort.h"
#include "helper/crypt/hash.h"
#include "helper/crypt/lanes/aes_cbc.h"
#include "helper/crypt/names.h"
#include "helper/crypt/ossl.h"
#include "helper/crypt/sha512_block.h"

namespace cellvault {
namespace {

constexpr std::string_view kKeySizeError = "key size not supported!";

void require_encrypt(bool encrypt, const char* op) {
  if (!encrypt) abort_call(std::string(op) + ": decryption is not supported");
}

void check_input_len(size_t len) {
  if (len > kCryptMaxInput) {
    abort_call("crypt: input of " + std::to_string(len) +
               " bytes exceeds the 4096-byte work area");
  }
}

void check_iv_len(size_t len) {
  if (len != kAesBlockLen) {
    abort_call("crypt: IV of " + std::to_string(len) +
               " bytes instead of 16: InvalidLength");
  }
}

void check_block_multiple(size_t len) {
  if (len % kAesBlockLen != 0) {
    abort_call("crypt: input of " + std::to_string(len) +
               " bytes is not a multiple of 16: PadError");
  }
}

TextResult<void> check_cipher(std::string_view cipher_algorithm,
                              std::string_view chaining_mode, ByteView key) {
  CV_TRY(check_algorithm(cipher_algorithm, kCipherAes));
  CV_TRY(check_algorithm(chaining_mode, kChainingCbc));
  if (key.size() != kAesKeyLen) return Err{ErrorText(kKeySizeError)};
  return {};
}

// new_aes_ctx returns a context holding the AES-256 key schedule of |key|
// (32 bytes) for CBC encryption without padding; the IV is set per use.
EvpCipherCtx new_aes_ctx(ByteView key) {
  EvpCipherCtx ctx = new_cipher_ctx();
  check_openssl(EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                                   key.data(), nullptr),
                "EVP_EncryptInit_ex");
  check_openssl(EVP_CIPHER_CTX_set_padding(ctx.get(), 0),
                "EVP_CIPHER_CTX_set_padding");
  return ctx;
}

// restart_chain starts a new CBC chain at |iv|, keeping the key schedule.
void restart_chain(EVP_CIPHER_CTX* ctx, ByteView iv) {
  check_openssl(EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data()),
                "EVP_EncryptInit_ex");
}

// encrypt_blocks continues the chain of |ctx| over |input|, a multiple of
// 16 bytes, writing as many bytes to |out|.
void encrypt_blocks(EVP_CIPHER_CTX* ctx, ByteView input, uint8_t* out) {
  if (input.empty()) return;
  int out_len = 0;
  check_openssl(EVP_EncryptUpdate(ctx, out, &out_len, input.data(),
                                  static_cast<int>(input.size())),
                "EVP_EncryptUpdate");
  if (static_cast<size_t>(out_len) != input.size()) {
    abort_call("crypt: cipher returned a short block");
  }
}

uint64_t round_up(uint64_t len, uint64_t multiple) {
  const uint64_t rest = len % multiple;
  return rest == 0 ? len : len + (multiple - rest);
}

// check_package_params checks what encrypting a non-empty package needs
// and aborts the call on the first fault, in the order in which the first
// segment would meet them: its padding, its IV (the hash name), then the
// cipher (names and key size).
void check_package_params(uint64_t block_size, std::string_view cipher_algorithm,
                          std::string_view chaining_mode,
                          std::string_view hash_algorithm, ByteView key) {
  if (block_size == 0) abort_call("crypt_package: block size 0");
  unwrap(check_algorithm(hash_algorithm, kSha512.name));
  unwrap(check_cipher(cipher_algorithm, chaining_mode, key));
}

// checked_stream_len checks what encrypting a package of |n| bytes needs
// (nothing for an empty package) and returns the length of its stream:
// every segment but the last is full, the last holds r bytes, padded.
uint64_t checked_stream_len(uint64_t n, uint64_t block_size,
                            std::string_view cipher_algorithm,
                            std::string_view chaining_mode,
                            std::string_view hash_algorithm, ByteView key) {
  if (n == 0) return kStreamSizeLen;
  check_package_params(block_size, cipher_algorithm, chaining_mode,
                       hash_algorithm, key);
  const uint64_t last_len = n - (n - 1) / kSegmentLen * kSegmentLen;
  return kStreamSizeLen + (n - last_len) + round_up(last_len, block_size);
}

// Segments are handed to the multi-lane cipher this many at a time, with
// their IVs: enough that filling and draining the kernels' lanes costs
// little, few enough that the IVs and their messages stay on the stack
// (under 24 KiB) and the batch (512 KiB) in the level-2 cache.
constexpr size_t kBatchSegments = 128;

// The IV message of a segment: the salt, then the segment's index as LE32.
constexpr size_t kIvMessageMax = kSha512OneBlockMax;

}  // namespace

TextResult<Bytes> crypt(bool encrypt, std::string_view cipher_algorithm,
                        std::string_view chaining_mode, ByteView key,
                        ByteView iv, ByteView input) {
  require_encrypt(encrypt, "crypt");
  check_input_len(input.size());
  CV_TRY(check_cipher(cipher_algorithm, chaining_mode, key));
  EvpCipherCtx ctx = new_aes_ctx(key);
  check_iv_len(iv.size());
  check_block_multiple(input.size());
  Bytes out(input.size());
  restart_chain(ctx.get(), iv);
  encrypt_blocks(ctx.get(), input, out.data());
  return out;
}

Bytes crypt_package(bool encrypt, std::string_view cipher_algorithm,
                    std::string_view chaining_mode,
                    std::string_view hash_algorithm, uint64_t block_size,
                    ByteView key_data_salt, ByteView key, ByteView input) {
  require_encrypt(encrypt, "crypt_package");
  Bytes stream(static_cast<size_t>(
      checked_stream_len(input.size(), block_size, cipher_algorithm,
                         chaining_mode, hash_algorithm, key)));
  std::copy(input.begin(), input.end(), stream.begin() + kStreamSizeLen);
  crypt_package_in_place(cipher_algorithm, chaining_mode, hash_algorithm,
                         block_size, key_data_salt, key, stream, input.size());
  return stream;
}

size_t crypt_package_in_place(std::string_view cipher_algorithm,
                              std::string_view chaining_mode,
                              std::string_view hash_algorithm,
                              uint64_t block_size, ByteView key_data_salt,
                              ByteView key, std::span<uint8_t> stream,
                              uint64_t package_len) {
  if (stream.size() < kStreamSizeLen ||
      package_len > stream.size() - kStreamSizeLen) {
    abort_call("crypt_package_in_place: a package of " +
               std::to_string(package_len) + " bytes does not fit a " +
               std::to_string(stream.size()) + "-byte buffer after its size field");
  }
  const uint64_t total = checked_stream_len(
      package_len, block_size, cipher_algorithm, chaining_mode, hash_algorithm,
      key);
  if (total > stream.size()) {
    abort_call("crypt_package_in_place: the stream of " + std::to_string(total) +
               " bytes needs room for the padding after the package, but the "
               "buffer holds " + std::to_string(stream.size()));
  }
  if (package_len > 0) {
    PackageCipher::create(cipher_algorithm, chaining_mode, hash_algorithm,
                          block_size, key_data_salt, key)
        .encrypt(stream.data() + kStreamSizeLen,
                 static_cast<size_t>(package_len), 0);
  }
  // The size field last: until here those bytes may be anything.
  store_u64le(stream.data(), package_len);
  return static_cast<size_t>(total);
}

PackageCipher::PackageCipher(lanes::Aes256CbcSegments aes, lanes::Sha512Lanes sha,
                             std::string_view hash_algorithm,
                             ByteView key_data_salt, uint64_t block_size)
    : aes_(std::move(aes)),
      sha_(sha),
      fast_ivs_(block_size == kAesBlockLen &&
                key_data_salt.size() <= kIvMessageMax - sizeof(uint32_t)),
      hash_algorithm_(hash_algorithm),
      key_data_salt_(key_data_salt),
      block_size_(block_size) {}

PackageCipher PackageCipher::create(std::string_view cipher_algorithm,
                                    std::string_view chaining_mode,
                                    std::string_view hash_algorithm,
                                    uint64_t block_size, ByteView key_data_salt,
                                    ByteView key) {
  check_package_params(block_size, cipher_algorithm, chaining_mode,
                       hash_algorithm, key);
  lanes::Aes256CbcSegments aes = unwrap(
      lanes::Aes256CbcSegments::create(unwrap(lanes::aes_kernel_to_use()), key));
  return PackageCipher(std::move(aes), unwrap(lanes::Sha512Lanes::from_environment()),
                       hash_algorithm, key_data_salt, block_size);
}

void PackageCipher::segment_ivs(uint64_t first, size_t count, uint8_t* out) const {
  uint8_t messages[kBatchSegments][kIvMessageMax];
  ByteView views[kBatchSegments];
  lanes::Sha512Digest digests[kBatchSegments];
  const size_t len = key_data_salt_.size() + sizeof(uint32_t);
  for (size_t i = 0; i < count; ++i) {
    if (!key_data_salt_.empty()) {
      std::memcpy(messages[i], key_data_salt_.data(), key_data_salt_.size());
    }
    // The index is LE32: a package past 2^32 segments (16 TiB) wraps.
    store_u32le(messages[i] + key_data_salt_.size(),
                static_cast<uint32_t>(first + i));
    views[i] = ByteView(messages[i], len);
  }
  sha_.one_block(std::span<const ByteView>(views, count),
                 std::span<lanes::Sha512Digest>(digests, count));
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(out + i * kAesBlockLen, digests[i].data(), kAesBlockLen);
  }
}

size_t PackageCipher::encrypt(uint8_t* data, size_t len, uint64_t first_segment) {
  uint8_t batch_ivs[kBatchSegments * kAesBlockLen];
  uint64_t segment = first_segment;
  size_t start = 0;
  size_t end = 0;
  while (start < len) {
    const size_t batch_start = start;
    const uint64_t batch_first = segment;
    size_t count = 0;
    for (; count < kBatchSegments && start < len;
         ++count, ++segment, start += kSegmentLen) {
      const size_t seg_len = std::min<size_t>(kSegmentLen, len - start);
      const size_t padded = static_cast<size_t>(round_up(seg_len, block_size_));
      // The checks in the order in which encrypting one segment meets them.
      check_input_len(padded);
      if (!fast_ivs_) {
        uint8_t block_key[sizeof(uint32_t)];
        store_u32le(block_key, static_cast<uint32_t>(segment));
        const Bytes iv = create_iv(hash_algorithm_, key_data_salt_, block_size_, block_key);
        check_iv_len(iv.size());
        std::memcpy(batch_ivs + count * kAesBlockLen, iv.data(), kAesBlockLen);
      }
      check_block_multiple(padded);
      std::memset(data + start + seg_len, 0, padded - seg_len);
      end = start + padded;
    }
    if (fast_ivs_) segment_ivs(batch_first, count, batch_ivs);
    const std::span<uint8_t> run(data + batch_start, end - batch_start);
    aes_.encrypt(run, run, ByteView(batch_ivs, count * kAesBlockLen));
  }
  return end;
}

Bytes buffer_concat(std::span<const ByteView> buffers) {
  size_t total = 0;
  for (ByteView b : buffers) total += b.size();
  Bytes out;
  out.reserve(total);
  for (ByteView b : buffers) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes buffer_concat(std::initializer_list<ByteView> buffers) {
  return buffer_concat(
      std::span<const ByteView>(buffers.begin(), buffers.size()));
}

}  // namespace cellvault
