// Container: an [MS-CFB] compound file opened for reading.
//
// open() reads the header, the FAT (through the header's DIFAT and the
// DIFAT sectors), the MiniFAT and the directory, and checks each as it
// goes; the streams themselves are read later, a window at a time, through
// a StreamReader. Versions 3 and 4 are read, with the directory in any
// order and any other storages (such as "\x06DataSpaces") beside the
// streams.
//
// What is kept in memory is bounded by the file's own size: the tables
// hold at most one entry per sector that the file really has, the
// directory one entry per 128 bytes of directory chain, and every count
// that the header gives is checked against the file before anything is
// sized from it.

#ifndef CELLVAULT_READER_CONTAINER_H_
#define CELLVAULT_READER_CONTAINER_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/format.h"
#include "common/bytes.h"
#include "reader/error.h"
#include "reader/source.h"

namespace cellvault::reader {

// One directory entry as the reader needs it.
struct DirEntryView {
  std::array<char16_t, 32> name{};  // UTF-16 code units
  uint8_t name_units = 0;           // without the terminating zero
  uint8_t type = 0;                 // 0 unallocated, 1 storage, 2 stream, 5 root
  uint32_t left = 0;
  uint32_t right = 0;
  uint32_t child = 0;
  uint32_t start = 0;
  uint64_t size = 0;
};

class Container;

// StreamReader reads ranges of one stream. It holds the stream's chain
// (checked when it was opened) and borrows the Container, which must
// outlive it.
class StreamReader {
 public:
  uint64_t size() const { return size_; }
  // read_at fills |out| with the stream's bytes from |offset| on; a range
  // beyond size() is an error. Contiguous sectors are read with one read.
  ReadResult<void> read_at(uint64_t offset, std::span<uint8_t> out) const;

 private:
  friend class Container;
  StreamReader(const Container* container, std::vector<uint32_t> chain, uint64_t size,
               bool mini, std::string name)
      : container_(container),
        chain_(std::move(chain)),
        size_(size),
        mini_(mini),
        name_(std::move(name)) {}

  const Container* container_;
  std::vector<uint32_t> chain_;
  uint64_t size_;
  bool mini_;
  std::string name_;
};

class Container {
 public:
  // open reads the structures of the compound file in |source|, which must
  // outlive the Container. A file without the compound file signature is
  // not_encrypted (naming a ZIP package or an empty file as such); broken
  // structures are damaged_container errors that name what is wrong.
  static ReadResult<Container> open(ByteSource& source);

  cfb::Version version() const { return version_; }
  size_t sector_len() const { return sector_len_; }
  const std::vector<DirEntryView>& entries() const { return entries_; }

  // find_root_child returns the id of the entry named |name| (ASCII,
  // compared without regard to ASCII case) among the root storage's
  // children, or nullopt. The children's tree is searched whole, in any
  // order; a tree that loops or points outside the directory is an error.
  ReadResult<std::optional<uint32_t>> find_root_child(std::string_view name) const;

  // open_stream checks the chain of stream entry |id| against its size and
  // the file and returns a reader for it. |name| is used in messages.
  ReadResult<StreamReader> open_stream(uint32_t id, std::string_view name) const;

 private:
  friend class StreamReader;
  Container(ByteSource& source) : source_(&source) {}

  ReadResult<void> read_header();
  ReadResult<void> read_fat();
  ReadResult<void> read_minifat();
  ReadResult<void> read_directory();
  // read_sectors reads whole sectors of |ids| into |out| (sector_len each),
  // one read per run of consecutive ids.
  ReadResult<void> read_sectors(std::span<const uint32_t> ids, std::span<uint8_t> out) const;
  // read_table reads the sectors |ids| as one table of LE32 entries.
  ReadResult<std::vector<uint32_t>> read_table(std::span<const uint32_t> ids) const;
  ReadResult<void> read_in_sector(uint32_t id, size_t offset, std::span<uint8_t> out) const;
  ReadResult<void> resolve_mini_stream() const;
  uint64_t stream_size(const DirEntryView& entry) const;

  ByteSource* source_;
  cfb::Version version_ = cfb::Version::V4;
  size_t sector_len_ = 0;
  uint64_t sector_count_ = 0;  // sectors that the file holds, a last partial one included
  uint32_t num_fat_sectors_ = 0;
  uint32_t first_dir_sector_ = 0;
  uint32_t first_minifat_sector_ = 0;
  uint32_t first_difat_sector_ = 0;
  std::array<uint32_t, cfb::kHeaderDifatEntries> header_difat_{};
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> minifat_;
  std::vector<DirEntryView> entries_;
  // The mini stream's chain in the FAT, resolved the first time a stream
  // below the cutoff is opened.
  mutable std::optional<std::vector<uint32_t>> mini_stream_chain_;
};

// describe_name renders a directory entry's name for a message (non-ASCII
// code units as \u{...}).
std::string describe_name(const DirEntryView& entry);

}  // namespace cellvault::reader

#endif  // CELLVAULT_READER_CONTAINER_H_
