// CompoundFile: a new [MS-CFB] compound file being written, with storages
// and streams created by path inside the container.
//
// Typical use, with a file that the caller owns and lends:
//   CV_TRY_ASSIGN(CompoundFile cf, create_with_file(file));
//   CV_TRY_ASSIGN(Stream s, cf.create_stream("EncryptionInfo"));
//   CV_TRY(s.write_all(bytes));
//   CV_TRY(s.close());
// The file is complete once every stream is closed; the compound file
// writes nothing more and may be dropped before the file is closed.

#ifndef CELLVAULT_CFB_COMPOUND_FILE_H_
#define CELLVAULT_CFB_COMPOUND_FILE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "cfb/stream.h"
#include "cfb/version.h"
#include "common/error.h"
#include "common/file.h"

namespace cellvault::cfb {

struct Core;

class CompoundFile {
 public:
  CompoundFile(CompoundFile&&) noexcept = default;
  CompoundFile& operator=(CompoundFile&&) noexcept = default;
  // ~CompoundFile writes nothing; it closes the file only when
  // create_with_path opened it.
  ~CompoundFile() = default;

  // create_stream returns a Stream for the entry at |path| inside the
  // container ("Name", "/dir/Name"): a new stream under its parent
  // storage, or an existing stream emptied. Fails with NotFound "Parent
  // storage doesn't exist", AlreadyExists "Cannot create stream at {path}
  // because a storage already exists there", InvalidInput for a bad path
  // or a name of more than 31 UTF-16 code units or while another stream of
  // this file is open, and with write errors. Only one Stream may be open at
  // a time: close it before creating the next.
  IoResult<Stream> create_stream(std::string_view path);

  // overwrite_stream returns a Stream that writes over the existing stream
  // at |path| from its first byte on, in the sectors it already has: its
  // bytes are replaced as far as the writes reach, and it only grows if
  // they reach past its end. A stream whose length cannot change stays
  // where it is in the file, so it can be written before its contents are
  // known and filled in at the end. Fails with NotFound "Stream doesn't
  // exist" when no stream is there, and like create_stream otherwise.
  IoResult<Stream> overwrite_stream(std::string_view path);

  // create_storage adds an empty storage at |path|. Fails like
  // create_stream, and with AlreadyExists "Cannot create storage at {path}
  // because an entry already exists there".
  IoResult<void> create_storage(std::string_view path);

 private:
  friend IoResult<CompoundFile> create_with_file(File& file, Version version);
  friend IoResult<CompoundFile> create_with_path(std::string_view path, Version version);
  explicit CompoundFile(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  IoResult<uint32_t> parent_of(std::span<const std::string> names);

  std::shared_ptr<Core> core_;
};

// create_with_file writes an empty compound file of |version| into |file|
// and returns it: header, FAT sector 0 and directory sector 1 holding the
// root entry (12288 bytes in version 4, 1536 in version 3), in one write.
// |file| is borrowed: it must be open for writing and empty, and outlive
// the compound file and its streams. Returns the write's error.
IoResult<CompoundFile> create_with_file(File& file, Version version = Version::V4);

// create_with_path creates (or truncates) the file at |path| with mode 0666
// less the umask and writes an empty compound file into it, as
// create_with_file does; the compound file keeps the open file and closes
// it (dropping any error of close) when it and its streams are gone.
// Returns the open or write error.
IoResult<CompoundFile> create_with_path(std::string_view path, Version version = Version::V4);

}  // namespace cellvault::cfb

#endif  // CELLVAULT_CFB_COMPOUND_FILE_H_
