// Opening a compound file: header, FAT, MiniFAT and directory.
//
// The header ([MS-CFB] 2.2) fixes the sector size and where the tables
// start. The FAT's sectors are listed by the header's 109 DIFAT entries and
// then by a chain of DIFAT sectors, each holding sector_len / 4 - 1 FAT
// sector ids and the id of the next DIFAT sector last.

#include "reader/container.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cfb/format.h"
#include "reader/chain_walk.h"

namespace cellvault::reader {

namespace {

ReadError damaged(std::string what) { return ReadError::damaged_container(std::move(what)); }

// not_a_compound_file names what a file without the signature is, as far
// as its first bytes tell.
ReadError not_a_compound_file(ByteView head, uint64_t size) {
  if (size == 0) return ReadError::not_encrypted("the file is empty");
  if (head.size() >= 4 && head[0] == 'P' && head[1] == 'K' &&
      ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6) ||
       (head[2] == 7 && head[3] == 8))) {
    return ReadError::not_encrypted(
        "it is a plain ZIP package, which is what an unlocked workbook is");
  }
  return ReadError::not_encrypted("it is not a compound file (no signature)");
}

}  // namespace

ReadResult<Container> Container::open(ByteSource& source) {
  Container c(source);
  CV_TRY(c.read_header());
  CV_TRY(c.read_fat());
  CV_TRY(c.read_directory());
  CV_TRY(c.read_minifat());
  return c;
}

ReadResult<void> Container::read_header() {
  const uint64_t size = source_->size();
  uint8_t h[cfb::kHeaderLen];
  const size_t head_len = static_cast<size_t>(std::min<uint64_t>(size, sizeof(h)));
  CV_TRY(source_->read_exact(0, std::span<uint8_t>(h, head_len)));
  if (head_len < cfb::kSignature.size() ||
      std::memcmp(h, cfb::kSignature.data(), cfb::kSignature.size()) != 0) {
    return Err{not_a_compound_file(ByteView(h, head_len), size)};
  }
  if (head_len < cfb::kHeaderLen) {
    return Err{damaged("the file is truncated: " + std::to_string(size) +
                       " bytes, shorter than the 512-byte header")};
  }
  const uint16_t major = load_u16le(h + cfb::kOffsetMajorVersion);
  const uint16_t byte_order = load_u16le(h + cfb::kOffsetByteOrder);
  const uint16_t sector_shift = load_u16le(h + cfb::kOffsetSectorShift);
  const uint16_t mini_shift = load_u16le(h + cfb::kOffsetMiniSectorShift);
  if (byte_order != cfb::kByteOrderMark) {
    return Err{damaged("the header's byte order mark is " + std::to_string(byte_order) +
                       ", not 0xFFFE")};
  }
  if (major != 3 && major != 4) {
    return Err{damaged("unknown compound file major version " + std::to_string(major))};
  }
  version_ = major == 3 ? cfb::Version::V3 : cfb::Version::V4;
  sector_len_ = cfb::sector_len_of(version_);
  if (sector_shift >= 32 || (size_t{1} << sector_shift) != sector_len_) {
    return Err{damaged("version " + std::to_string(major) + " with sector shift " +
                       std::to_string(sector_shift))};
  }
  if (mini_shift != cfb::kMiniSectorShift) {
    return Err{damaged("mini sector shift " + std::to_string(mini_shift) + ", not 6")};
  }
  if (load_u32le(h + cfb::kOffsetMiniStreamCutoff) != cfb::kMiniStreamCutoff) {
    return Err{damaged("mini stream cutoff " + std::to_string(load_u32le(h + cfb::kOffsetMiniStreamCutoff)) +
                       ", not 4096")};
  }
  // The header takes the whole first sector-sized block. A last sector cut
  // short still counts, so that a reader of its first bytes can proceed;
  // reading past the end of the file is refused where it happens.
  sector_count_ = size <= sector_len_ ? 0 : (size - sector_len_ + sector_len_ - 1) / sector_len_;
  num_fat_sectors_ = load_u32le(h + cfb::kOffsetFatSectors);
  first_dir_sector_ = load_u32le(h + cfb::kOffsetFirstDirSector);
  first_minifat_sector_ = load_u32le(h + cfb::kOffsetFirstMiniFatSector);
  first_difat_sector_ = load_u32le(h + cfb::kOffsetFirstDifatSector);
  for (size_t i = 0; i < header_difat_.size(); ++i) {
    header_difat_[i] = load_u32le(h + cfb::kOffsetDifat + 4 * i);
  }
  return {};
}

ReadResult<void> Container::read_fat() {
  if (num_fat_sectors_ == 0) return Err{damaged("the header lists no FAT sectors")};
  if (num_fat_sectors_ > sector_count_) {
    return Err{damaged("the header claims " + std::to_string(num_fat_sectors_) +
                       " FAT sectors but the file holds only " +
                       std::to_string(sector_count_) + " sectors")};
  }
  std::vector<uint32_t> fat_ids;
  fat_ids.reserve(num_fat_sectors_);
  for (size_t i = 0; i < header_difat_.size() && fat_ids.size() < num_fat_sectors_; ++i) {
    fat_ids.push_back(header_difat_[i]);
  }
  // The DIFAT chain links through the last entry of each DIFAT sector; it
  // is bounded by the sectors that exist, and each one is visited once.
  const size_t per_difat = sector_len_ / 4 - 1;
  std::vector<bool> seen(static_cast<size_t>(sector_count_), false);
  std::vector<uint8_t> buf(sector_len_);
  uint32_t difat = first_difat_sector_;
  size_t difat_count = 0;
  while (fat_ids.size() < num_fat_sectors_) {
    if (difat > cfb::MAXREGSECT) {
      return Err{damaged("the DIFAT lists " + std::to_string(fat_ids.size()) + " of the " +
                         std::to_string(num_fat_sectors_) + " FAT sectors and then reaches " +
                         std::string(special_sector_name(difat)))};
    }
    if (difat >= sector_count_) {
      return Err{damaged("DIFAT sector " + std::to_string(difat) + " lies past the last of " +
                         std::to_string(sector_count_) + " sectors")};
    }
    if (seen[difat]) {
      return Err{damaged("the DIFAT chain loops back to sector " + std::to_string(difat) +
                         " after " + std::to_string(difat_count) + " sectors")};
    }
    seen[difat] = true;
    ++difat_count;
    CV_TRY(read_in_sector(difat, 0, buf));
    for (size_t i = 0; i < per_difat && fat_ids.size() < num_fat_sectors_; ++i) {
      fat_ids.push_back(load_u32le(buf.data() + 4 * i));
    }
    difat = load_u32le(buf.data() + 4 * per_difat);
  }
  for (size_t i = 0; i < fat_ids.size(); ++i) {
    if (fat_ids[i] >= sector_count_) {
      return Err{damaged("FAT sector " + std::to_string(i) + " is listed as sector " +
                         std::to_string(fat_ids[i]) + ", past the last of " +
                         std::to_string(sector_count_) + " sectors")};
    }
  }
  CV_TRY_ASSIGN(fat_, read_table(fat_ids));
  return {};
}

ReadResult<void> Container::read_minifat() {
  if (first_minifat_sector_ == cfb::ENDOFCHAIN) return {};
  CV_TRY_ASSIGN(std::vector<uint32_t> ids,
                walk_chain({fat_, sector_count_, "FAT", "the MiniFAT"}, first_minifat_sector_,
                           std::nullopt));
  CV_TRY_ASSIGN(minifat_, read_table(ids));
  return {};
}

ReadResult<std::vector<uint32_t>> Container::read_table(std::span<const uint32_t> ids) const {
  std::vector<uint8_t> raw(ids.size() * sector_len_);
  CV_TRY(read_sectors(ids, raw));
  std::vector<uint32_t> table(raw.size() / 4);
  for (size_t i = 0; i < table.size(); ++i) table[i] = load_u32le(raw.data() + 4 * i);
  return table;
}

ReadResult<void> Container::read_directory() {
  CV_TRY_ASSIGN(std::vector<uint32_t> ids,
                walk_chain({fat_, sector_count_, "FAT", "the directory"}, first_dir_sector_,
                           std::nullopt));
  if (ids.empty()) return Err{damaged("the directory is empty")};
  std::vector<uint8_t> raw(ids.size() * sector_len_);
  CV_TRY(read_sectors(ids, raw));
  entries_.resize(raw.size() / cfb::kDirEntryLen);
  for (size_t i = 0; i < entries_.size(); ++i) {
    const uint8_t* e = raw.data() + i * cfb::kDirEntryLen;
    DirEntryView& d = entries_[i];
    // The name length counts bytes with the terminating zero unit; a
    // length that is odd or beyond the 64-byte field is read as far as
    // it can be, so that the entry can still be named in messages.
    const size_t name_bytes = std::min<size_t>(load_u16le(e + cfb::kEntryNameLength), cfb::kEntryNameFieldLen);
    d.name_units = static_cast<uint8_t>(name_bytes >= 2 ? name_bytes / 2 - 1 : 0);
    for (size_t u = 0; u < d.name_units; ++u) d.name[u] = load_u16le(e + cfb::kEntryName + 2 * u);
    d.type = e[cfb::kEntryObjType];
    d.left = load_u32le(e + cfb::kEntryLeftSibling);
    d.right = load_u32le(e + cfb::kEntryRightSibling);
    d.child = load_u32le(e + cfb::kEntryChild);
    d.start = load_u32le(e + cfb::kEntryStartSector);
    d.size = load_u64le(e + cfb::kEntryStreamSize);
  }
  if (entries_[0].type != static_cast<uint8_t>(cfb::ObjType::kRoot)) {
    return Err{damaged("directory entry 0 is of type " + std::to_string(entries_[0].type) +
                       ", not the root storage")};
  }
  return {};
}

ReadResult<void> Container::read_in_sector(uint32_t id, size_t offset,
                                           std::span<uint8_t> out) const {
  return source_->read_exact((uint64_t{id} + 1) * sector_len_ + offset, out);
}

ReadResult<void> Container::read_sectors(std::span<const uint32_t> ids,
                                         std::span<uint8_t> out) const {
  size_t i = 0;
  while (i < ids.size()) {
    size_t run = 1;
    while (i + run < ids.size() && ids[i + run] == ids[i] + run) ++run;
    CV_TRY(read_in_sector(ids[i], 0, out.subspan(i * sector_len_, run * sector_len_)));
    i += run;
  }
  return {};
}

uint64_t Container::stream_size(const DirEntryView& entry) const {
  // Version 3 files keep only the low 32 bits; some writers leave junk in
  // the high ones ([MS-CFB] 2.6.3).
  return version_ == cfb::Version::V3 ? (entry.size & 0xFFFFFFFFu) : entry.size;
}

std::string describe_name(const DirEntryView& entry) {
  std::string out;
  for (size_t i = 0; i < entry.name_units; ++i) {
    const char16_t u = entry.name[i];
    if (u >= 0x20 && u < 0x7F) {
      out += static_cast<char>(u);
    } else {
      char esc[12];
      std::snprintf(esc, sizeof(esc), "\\u{%x}", static_cast<unsigned>(u));
      out += esc;
    }
  }
  return out;
}

}  // namespace cellvault::reader
