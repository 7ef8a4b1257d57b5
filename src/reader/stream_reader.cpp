// Finding a stream in the directory and reading it.
//
// A storage's children form a tree through the left and right sibling ids
// of their entries, reached from the storage's child id ([MS-CFB] 2.6.4).
// The tree is meant to be a red-black tree ordered by name, but the reader
// does not rely on the order: it visits every node once, so a tree in any
// order is read, and a tree that loops or points outside the directory is
// reported instead of followed.

#include "reader/container.h"

#include <algorithm>

#include "cfb/format.h"
#include "reader/chain_walk.h"

namespace cellvault::reader {

namespace {

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool name_is(const DirEntryView& e, std::string_view name) {
  if (e.name_units != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (ascii_upper(e.name[i]) != ascii_upper(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

uint64_t div_ceil(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

ReadResult<std::optional<uint32_t>> Container::find_root_child(std::string_view name) const {
  const auto damaged = [](std::string what) {
    return Err{ReadError::damaged_container(std::move(what))};
  };
  std::vector<bool> seen(entries_.size(), false);
  seen[0] = true;
  std::vector<uint32_t> todo;
  std::optional<uint32_t> found;
  const auto visit = [&](uint32_t from, uint32_t id) -> ReadResult<void> {
    if (id == cfb::NOSTREAM) return {};
    if (id >= entries_.size()) {
      return damaged("directory entry " + std::to_string(from) + " links to entry " +
                     std::to_string(id) + ", past the last of " +
                     std::to_string(entries_.size()));
    }
    if (seen[id]) {
      return damaged("the directory tree has a cycle: entry " + std::to_string(from) +
                     " links back to entry " + std::to_string(id));
    }
    seen[id] = true;
    todo.push_back(id);
    return {};
  };
  CV_TRY(visit(0, entries_[0].child));
  while (!todo.empty()) {
    const uint32_t id = todo.back();
    todo.pop_back();
    const DirEntryView& e = entries_[id];
    if (e.type == static_cast<uint8_t>(cfb::ObjType::kUnallocated) ||
        e.type == static_cast<uint8_t>(cfb::ObjType::kRoot) ||
        e.type > static_cast<uint8_t>(cfb::ObjType::kRoot)) {
      return damaged("directory entry " + std::to_string(id) + " is in the root's tree but " +
                     "is of type " + std::to_string(e.type));
    }
    if (name_is(e, name)) {
      if (found) {
        return damaged("two directory entries, " + std::to_string(*found) + " and " +
                       std::to_string(id) + ", are both named " + std::string(name));
      }
      found = id;
    }
    CV_TRY(visit(id, e.left));
    CV_TRY(visit(id, e.right));
  }
  return found;
}

ReadResult<void> Container::resolve_mini_stream() const {
  if (mini_stream_chain_) return {};
  const DirEntryView& root = entries_[0];
  const uint64_t size = stream_size(root);
  if (size > source_->size()) {
    return Err{ReadError::damaged_container(
        "the mini stream claims " + std::to_string(size) + " bytes but the file holds only " +
        std::to_string(source_->size()))};
  }
  CV_TRY_ASSIGN(std::vector<uint32_t> chain,
                walk_chain({fat_, sector_count_, "FAT", "the mini stream"}, root.start,
                           div_ceil(size, sector_len_)));
  mini_stream_chain_ = std::move(chain);
  return {};
}

ReadResult<StreamReader> Container::open_stream(uint32_t id, std::string_view name) const {
  const DirEntryView& e = entries_.at(id);
  if (e.type != static_cast<uint8_t>(cfb::ObjType::kStream)) {
    return Err{ReadError::damaged_container(std::string(name) + " is a storage, not a stream")};
  }
  const uint64_t size = stream_size(e);
  const std::string what = "stream " + std::string(name);
  if (size > source_->size()) {
    return Err{ReadError::damaged_container(
        what + " claims " + std::to_string(size) + " bytes but the file holds only " +
        std::to_string(source_->size()))};
  }
  if (size < cfb::kMiniStreamCutoff) {
    CV_TRY(resolve_mini_stream());
    const uint64_t mini_sectors =
        std::min<uint64_t>(minifat_.size(), stream_size(entries_[0]) / cfb::kMiniSectorLen);
    CV_TRY_ASSIGN(std::vector<uint32_t> chain,
                  walk_chain({minifat_, mini_sectors, "MiniFAT", what}, e.start,
                             div_ceil(size, cfb::kMiniSectorLen)));
    return StreamReader(this, std::move(chain), size, true, std::string(name));
  }
  CV_TRY_ASSIGN(std::vector<uint32_t> chain,
                walk_chain({fat_, sector_count_, "FAT", what}, e.start,
                           div_ceil(size, sector_len_)));
  return StreamReader(this, std::move(chain), size, false, std::string(name));
}

ReadResult<void> StreamReader::read_at(uint64_t offset, std::span<uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) {
    return Err{ReadError::damaged_container(
        "a read of " + std::to_string(out.size()) + " bytes at " + std::to_string(offset) +
        " lies past the end of stream " + name_)};
  }
  const Container& c = *container_;
  const size_t unit = mini_ ? cfb::kMiniSectorLen : c.sector_len_;
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t pos = offset + done;
    const size_t index = static_cast<size_t>(pos / unit);
    const size_t within = static_cast<size_t>(pos % unit);
    if (mini_) {
      // Mini sector k lies at byte 64 * k of the mini stream, which is
      // itself a chain of regular sectors.
      const uint64_t at = uint64_t{chain_[index]} * unit + within;
      const std::vector<uint32_t>& ms = *c.mini_stream_chain_;
      const size_t n = std::min({out.size() - done, unit - within,
                                 c.sector_len_ - static_cast<size_t>(at % c.sector_len_)});
      CV_TRY(c.read_in_sector(ms[static_cast<size_t>(at / c.sector_len_)],
                              static_cast<size_t>(at % c.sector_len_), out.subspan(done, n)));
      done += n;
      continue;
    }
    size_t run = 1;
    while (index + run < chain_.size() && chain_[index + run] == chain_[index] + run &&
           run * unit - within < out.size() - done) {
      ++run;
    }
    const size_t n = std::min(out.size() - done, run * unit - within);
    CV_TRY(c.read_in_sector(chain_[index], within, out.subspan(done, n)));
    done += n;
  }
  return {};
}

}  // namespace cellvault::reader
