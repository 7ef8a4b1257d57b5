// encrypt: the Agile encryption pipeline from plain package bytes to the
// finished compound file.

#ifndef CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
#define CELLVAULT_HELPER_CRYPT_ENCRYPT_H_

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "cfb/version.h"
#include "common/bytes.h"
#include "common/cancel.h"
#include "common/file.h"
#include "common/package_buffer.h"
#include "common/secure.h"
#include "helper/crypt/hash.h"

namespace cellvault {

// How the destination is written.
struct OutputOptions {
  // The container version: the Python module always writes version 4.
  cfb::Version version = cfb::Version::V4;
  // When false, an existing destination is an AlreadyExists failure and is
  // never replaced (the command line without --force).
  bool replace_existing = true;
  // When true, encrypt_file derives the password keys on a second thread
  // while the package streams (the command line, for a single large file);
  // the Python module starts no threads.
  bool derive_beside = false;
  // Asked while an output that is a FIFO waits for its reader (see
  // AtomicOutput::begin): the caller's way to give up that wait.
  CancelHook cancel;
};

// max_package_len returns the largest package that a container of
// |version| holds: for version 3, whose streams may not pass 2 GiB, the
// stream's size field and the package padded to whole cipher blocks must
// fit, which leaves 2147483632 bytes; version 4 has no limit that a file
// could reach (the largest uint64_t). The writer refuses a longer stream
// on its own; this lets a caller refuse the package from its size alone.
uint64_t max_package_len(cfb::Version version);

// The pipeline in stages, for callers that run them apart (the command
// line derives the keys of several files at once). encrypt below is
// draw_file_secrets, derive_password_keys, seal_package, then
// write_container into an AtomicOutput and its commit.

// FileSecrets: the random values of one file.
struct FileSecrets {
  SecretBytes package_key;          // 32 bytes: encrypts the package
  SecretBytes key_data_salt;        // 16 bytes: the segment and integrity IVs
  SecretBytes password_salt;        // 16 bytes: the password key derivation
  SecretBytes hmac_key;             // 64 bytes: the integrity HMAC
  SecretBytes verifier_hash_input;  // 16 bytes: the password verifier
};

// draw_file_secrets draws a file's random values, always in the order of
// the fields above; a failing random source aborts the call.
FileSecrets draw_file_secrets();

// The three password keys: they encrypt the package key, the verifier
// input and the verifier's hash.
using PasswordKeys = std::array<SecretBytes, 3>;

// derive_password_keys derives the three keys of |password| with
// |password_salt| from one spin chain of 100000 SHA-512 iterations. A
// password that is not valid UTF-8 aborts the call.
PasswordKeys derive_password_keys(std::string_view password,
                                  ByteView password_salt);

// The batch form: the spin chains of all |inputs| run side by side in the
// lanes of |kernel| (give it kernel.lanes() inputs, or a multiple, for the
// best speed). Element k is byte for byte derive_password_keys(inputs[k]...).
std::vector<PasswordKeys> derive_password_keys(
    std::span<const PasswordAndSalt> inputs, const lanes::Sha512Lanes& kernel);

// SealedPackage: the contents of the two streams of one file.
struct SealedPackage {
  // The "EncryptedPackage" stream lies in the first |stream_len| bytes of
  // the buffer's storage.
  PackageBuffer buffer;
  size_t stream_len = 0;
  // The whole "EncryptionInfo" stream.
  Bytes encryption_info;

  ByteView encrypted_package() const {
    return buffer.storage().first(stream_len);
  }
};

// seal_package encrypts |package| where it lies and makes both streams'
// contents from |secrets| and |keys|. It touches no file; every failure
// aborts the call.
SealedPackage seal_package(PackageBuffer package, const FileSecrets& secrets,
                           const PasswordKeys& keys);

// write_container writes the compound file of |version| holding |sealed|'s
// two streams into |file| (open, empty), closing each stream so that an
// error of its last flush aborts the call. It does not flush |file| to disk.
void write_container(File& file, const SealedPackage& sealed,
                     cfb::Version version);

// OutputCheck: a last look at a finished output before it is published.
// It is handed the written file, complete and open for reading, and throws
// Abort to keep the output from being published (the destination then
// stays as it was).
using OutputCheck = std::function<void(File& written)>;

// The streaming form, for a package in a regular file: it is read, encrypted
// and written a chunk at a time, so the memory needed stays that of one
// chunk whatever the package's size, and the file written is byte for byte
// the one of seal_package and write_container (the directory entries'
// timestamps aside, which are the clock's).

// The length of every "EncryptionInfo" stream that seal_package makes.
inline constexpr size_t kEncryptionInfoLen = 1289;
// The package is read and written this many bytes at a time.
inline constexpr size_t kStreamChunkLen = size_t{4} << 20;

// write_streamed_container writes into |file| (open, empty) the compound
// file of |version| for the package of |package_len| bytes that |source|
// holds from its current position on, with |secrets| and |keys|: the
// container that write_container writes for seal_package of that package.
// |chunk_len|, a positive multiple of 4096, is how much of the package is
// read at a time. The package is encrypted and hashed as it is read, and
// the "EncryptionInfo" stream, which needs the hash, is written last into
// the place held for it. A source that ends before |package_len| bytes or
// goes on after them has changed since its size was taken: the call aborts
// (without an I/O error behind it), as it does on a failing read. Write
// errors abort with the error as the cause. It does not flush |file| to
// disk but starts the writeback of what it has written as it goes.
void write_streamed_container(File& file, File& source, uint64_t package_len,
                              const FileSecrets& secrets,
                              const PasswordKeys& keys, cfb::Version version,
                              size_t chunk_len = kStreamChunkLen);

// encrypt_file is encrypt for the package that the regular file |source|
// holds from its current position on, |package_len| bytes when it was
// opened, read as write_streamed_container reads it. The secrets are drawn
// and the keys derived before the destination is touched (with
// derive_beside, the keys are derived while the package streams); the destination
// is then published only when the whole package has been read and
// written, so a source that changes meanwhile leaves it as it was.
void encrypt_file(std::string_view to_path, File& source, uint64_t package_len,
                  std::string_view password, const OutputOptions& options = {},
                  size_t chunk_len = kStreamChunkLen);

// encrypt encrypts the package held by |package| under |password| and
// writes the container with the streams "EncryptionInfo" and
// "EncryptedPackage" to |to_path|, atomically: on any failure the
// destination is as it was, except that a failure to flush its directory
// after the rename leaves the new file in place (the rename may then not
// survive a crash), and that a device or FIFO, written in place, keeps
// what reached it. Every failure throws Abort.
//
// The package is encrypted where it lies, so the call needs little memory
// beyond the buffer it is given; the buffer is consumed (its bytes become
// the encrypted stream) and freed before the output is flushed to disk.
//
// With |check|, the written file is handed to it before the rename; a
// destination that would be written in place (a device, a FIFO) cannot be
// checked before its bytes reach it, and is refused before anything is
// written.
void encrypt(std::string_view to_path, PackageBuffer package,
             std::string_view password, const OutputOptions& options = {},
             const OutputCheck& check = {});

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_ENCRYPT_H_
