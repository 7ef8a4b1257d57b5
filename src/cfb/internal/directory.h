// The directory: the entries of every storage and stream in a chain of
// sectors from the directory start sector, entry i at byte 128 * i of the
// chain. Each storage's children form a binary search tree ordered by
// compare_names; new entries are inserted black and nothing is rebalanced.
//
// Entries are changed in memory; commit stages every directory sector that
// holds a changed entry whole (its entries, then unallocated ones) and
// writes it with the layers below.

#ifndef CELLVAULT_CFB_INTERNAL_DIRECTORY_H_
#define CELLVAULT_CFB_INTERNAL_DIRECTORY_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/internal/alloc.h"
#include "cfb/internal/direntry.h"
#include "common/error.h"

namespace cellvault::cfb::internal {

class Directory final : public WriteBatch::Source {
 public:
  // create takes the allocator, the entries and the directory start
  // sector, checks the tree and returns the directory, or InvalidData
  // "Malformed directory (...)".
  static IoResult<Directory> create(Allocator alloc, std::vector<DirEntry> entries,
                                    uint32_t start_sector);

  Allocator& allocator() { return alloc_; }
  const Allocator& allocator() const { return alloc_; }
  size_t entry_count() const { return entries_.size(); }
  // entry and entry_mut take an id below entry_count. A change made through
  // entry_mut reaches the file with mark_dirty and commit.
  const DirEntry& entry(uint32_t id) const { return entries_[id]; }
  DirEntry& entry_mut(uint32_t id) { return entries_[id]; }

  // insert_dir_entry adds an entry |name| of |type| under storage
  // |parent|, which must not already hold that name, and returns its id;
  // the next commit writes it. Fails with InvalidInput when the name has
  // more than 31 UTF-16 code units, and with the allocator's errors.
  IoResult<uint32_t> insert_dir_entry(uint32_t parent, std::string_view name, ObjType type);

  // with_dir_entry_mut applies |change| to entry |id| for the next commit.
  template <class F>
  void with_dir_entry_mut(uint32_t id, F&& change) {
    change(entries_[id]);
    mark_dirty(id);
  }

  // lookup_name_chain finds the entry that |names| designates from the
  // root (the empty chain is the root itself).
  std::optional<uint32_t> lookup_name_chain(std::span<const std::string> names) const;

  // mark_dirty notes that entry |id| changed; commit writes it.
  void mark_dirty(uint32_t id);
  // commit writes the changed directory sectors with the allocator's
  // changes and what the layers above staged.
  IoResult<void> commit();

  // produce gives the bytes of the directory sectors.
  size_t produce(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  Directory(Allocator alloc, std::vector<DirEntry> entries, std::vector<uint32_t> chain)
      : alloc_(std::move(alloc)),
        entries_(std::move(entries)),
        chain_(std::move(chain)),
        sector_dirty_(chain_.size(), false) {}

  size_t entries_per_sector() const { return alloc_.sectors().sector_len() / kDirEntryLen; }
  std::optional<uint32_t> find_child(uint32_t parent, std::string_view name) const;

  Allocator alloc_;
  std::vector<DirEntry> entries_;
  // The directory chain's sectors in order, kept so that an entry is found
  // without walking the FAT, and which of them hold changed entries.
  std::vector<uint32_t> chain_;
  std::vector<bool> sector_dirty_;
};

}  // namespace cellvault::cfb::internal

#endif  // CELLVAULT_CFB_INTERNAL_DIRECTORY_H_
