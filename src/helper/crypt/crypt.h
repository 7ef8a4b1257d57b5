// Block encryption: AES-256-CBC of one buffer, and the segmented
// encryption of a whole package into the "EncryptedPackage" stream.

#ifndef CELLVAULT_HELPER_CRYPT_CRYPT_H_
#define CELLVAULT_HELPER_CRYPT_CRYPT_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "helper/crypt/agile_format.h"
#include "helper/crypt/lanes/aes_cbc.h"
#include "helper/crypt/lanes/sha512_lanes.h"

namespace cellvault {

// crypt never works on more than one segment.
inline constexpr size_t kCryptMaxInput = kSegmentLen;
// crypt implements AES-256 alone: its keys are 32 bytes.
inline constexpr size_t kAesKeyLen = 256 / 8;

// crypt encrypts |input| with AES-256 in CBC mode under |key| and |iv|,
// without padding, and returns the ciphertext, as long as the input (empty
// for an empty input).
//
// Errors: a key that is not 32 bytes long gives "key size not supported!";
// a cipher or chaining name other than "AES" and "ChainingModeCBC" gives
// "algorithm <name> not supported!".
// Aborts the call (no error value) when the input is longer than 4096
// bytes, when the IV is not 16 bytes (message ending in "InvalidLength"),
// when the input is not a multiple of 16 bytes (ending in "PadError"), and
// when |encrypt| is false: decryption is not offered.
TextResult<Bytes> crypt(bool encrypt, std::string_view cipher_algorithm,
                        std::string_view chaining_mode, ByteView key,
                        ByteView iv, ByteView input);

// crypt_package returns the "EncryptedPackage" stream for the plain package
// |input|: its length n as LE64, then segment k = 0, 1, ... of 4096 plain
// bytes (the last one r bytes, zero-padded to a multiple of |block_size|),
// each encrypted by crypt under |key| with its own IV
// create_iv(hash_algorithm, key_data_salt, block_size, LE32(k)).
// An empty package gives the 8-byte size field alone.
//
// It copies the package into the buffer that it returns and encrypts it
// there with crypt_package_in_place. Every error and limit violation of
// crypt and create_iv aborts the call, as do |encrypt| false and a block
// size of 0 with a non-empty package; only a block size of 16 stays within
// crypt's limits.
Bytes crypt_package(bool encrypt, std::string_view cipher_algorithm,
                    std::string_view chaining_mode,
                    std::string_view hash_algorithm, uint64_t block_size,
                    ByteView key_data_salt, ByteView key, ByteView input);

// crypt_package_in_place makes the same stream as crypt_package without a
// second buffer: |stream| holds the plain package of |package_len| bytes at
// offset 8, and on return its first bytes are the "EncryptedPackage"
// stream, the size field in the first 8 bytes and each segment encrypted
// where it lay. Returns the stream's length, 8 + |package_len| rounded up
// to |block_size| (8 for an empty package); the bytes after it are left
// alone. The bytes before and after the package need not be initialised.
// It only encrypts, so it takes no direction.
//
// The caller provides room for the padding: with a block size of 16, up to
// 15 bytes after the package (PackageBuffer keeps exactly that layout). A
// buffer too short for the package or for the padded stream aborts the
// call before anything is written, as do all the failures of crypt_package;
// only an OpenSSL failure midway can leave the package partly encrypted.
size_t crypt_package_in_place(std::string_view cipher_algorithm,
                              std::string_view chaining_mode,
                              std::string_view hash_algorithm,
                              uint64_t block_size, ByteView key_data_salt,
                              ByteView key, std::span<uint8_t> stream,
                              uint64_t package_len);

// PackageCipher encrypts a package's segments a run at a time, so that a
// package can be encrypted as it is read: a run starts at any segment
// index and holds whole segments, except the package's last run, whose
// last segment may be short and is zero-padded to the block size in the
// room after it. The segments' bytes are those of crypt_package.
class PackageCipher {
 public:
  // create checks the parameters as crypt_package does for a non-empty
  // package (aborting the call on a fault) and expands the key for the AES
  // kernel in use (aes_kernel_to_use) and the IVs for the SHA-512 kernel
  // in use (from the environment, like the spin chain's).
  static PackageCipher create(std::string_view cipher_algorithm,
                              std::string_view chaining_mode,
                              std::string_view hash_algorithm,
                              uint64_t block_size, ByteView key_data_salt,
                              ByteView key);

  // encrypt encrypts the |len| plain bytes at |data|, which begin at
  // segment |first_segment| of the package, where they lie, and returns
  // the encrypted length: |len| rounded up to the block size. |len| is a
  // whole number of segments unless this is the package's last run; the
  // padding (at most block size - 1 bytes) goes after them, into room the
  // caller provides.
  size_t encrypt(uint8_t* data, size_t len, uint64_t first_segment);

 private:
  PackageCipher(lanes::Aes256CbcSegments aes, lanes::Sha512Lanes sha,
                std::string_view hash_algorithm, ByteView key_data_salt,
                uint64_t block_size);

  // segment_ivs writes the IVs of |count| segments from |first| on to
  // |out|, 16 bytes each, when the fast path applies.
  void segment_ivs(uint64_t first, size_t count, uint8_t* out) const;

  lanes::Aes256CbcSegments aes_;
  lanes::Sha512Lanes sha_;
  // The IVs' messages fit one SHA-512 block, hashed in the lanes of sha_;
  // otherwise each IV goes through create_iv.
  bool fast_ivs_;
  std::string_view hash_algorithm_;
  ByteView key_data_salt_;
  uint64_t block_size_;
};

// buffer_concat returns the members of |buffers| one after another in list
// order, with nothing between them; an empty list gives an empty buffer.
Bytes buffer_concat(std::span<const ByteView> buffers);
Bytes buffer_concat(std::initializer_list<ByteView> buffers);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_CRYPT_H_
