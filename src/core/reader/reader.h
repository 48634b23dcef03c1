// Reader: an open container file and the immutable state built from it.
//
// Open() maps the file read-only, checks header and (optionally) the whole-file CRC,
// and parses the index section once into a key list, a parallel offset list and a hash
// index; the section must end exactly at the end of the file. After Open() returns the state never changes, so one Reader may be used from
// any number of threads at once. Payload views returned by the fetch calls point into
// the mapping and stay valid for the Reader's lifetime; callers copy what they keep.
//
// Memory beyond the mapping: the index section's bytes once (keys with their lengths
// and object offsets), 4 bytes per key to locate entries, 10 per key of hash index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/format/layout.h"
#include "core/reader/entry_table.h"
#include "core/reader/hash_index.h"
#include "core/reader/mapped_file.h"
#include "core/result.h"

namespace kalvex::reader {

using Bytes = std::span<const std::uint8_t>;

class Reader {
 public:
  // Opens `path` (UTF-8, kept exactly as given for messages and stats). The descriptor
  // is closed before returning; on failure everything acquired is released.
  static Result<std::unique_ptr<Reader>> Open(std::string path, bool verify);

  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Header values as stored, and the file size N at open.
  const std::string& path() const { return path_; }
  std::uint32_t num_keys() const { return num_keys_; }
  std::uint32_t num_objects() const { return num_objects_; }
  std::uint64_t index_offset() const { return index_offset_; }
  std::uint64_t file_size() const { return file_.size(); }
  std::uint32_t file_crc32() const { return file_crc32_; }

  // Key list and offset list, in index-section order (duplicates kept).
  std::size_t entry_count() const { return entries_.size(); }
  Bytes key(std::size_t i) const { return entries_.key(i); }
  std::uint64_t object_offset(std::size_t i) const { return entries_.object_offset(i); }
  // The same, read where entry i ends: a walk over many entries need not wait on each key.
  std::uint64_t object_offset_from_end(std::size_t i) const { return entries_.object_offset_from_end(i); }

  // One hash-index probe: the object offset of the last entry holding `key`.
  std::optional<std::uint64_t> Find(Bytes key) const {
    const std::uint64_t position = index_.Find(entries_, key);
    if (position == HashIndex::kNotFound) return std::nullopt;
    return entries_.ObjectOffsetAt(position);
  }

  // The payload of the record at `offset`, after both bounds checks (no CRC check).
  Result<Bytes> FetchObject(std::uint64_t offset) const {
    const format::RecordLocation record = format::LocateRecord(file_.data(), file_.size(), offset);
    if (record.fit != format::RecordFit::kFits) return RecordOutside(record.fit, offset);
    return Bytes(file_.data() + offset + format::kRecordHeadSize, record.payload_length);
  }

  // Positions [first, last) of the keys that begin with `prefix`.
  std::pair<std::size_t, std::size_t> PrefixRange(Bytes prefix) const;

  // Payloads of entries [first, last), in order. The first failing fetch is the error.
  Result<std::vector<Bytes>> FetchRange(std::size_t first, std::size_t last) const;

  // The payload of each distinct object offset once, in first-occurrence order; with
  // `offsets`, each payload's record offset at the same place (the object's identity).
  Result<std::vector<Bytes>> FetchUniqueObjects(std::vector<std::uint64_t>* offsets = nullptr) const;

  // Whole-file CRC, then bounds and payload CRC of each distinct referenced object, then
  // the data section: records chained from offset 40 exactly to index_offset, num_objects
  // of them. The first failure in that order is the error.
  Status Verify() const;

  // Bytes of native memory the reader holds besides the mapping.
  std::size_t MemoryUsage() const { return entries_.MemoryUsage() + index_.MemoryUsage(); }

 private:
  Reader(std::string path, Mapping file, const format::Header& header, EntryTable entries,
         HashIndex index);

  // Bounds and payload CRC of the record at `offset`, with Verify()'s messages.
  Status CheckObject(std::uint64_t offset) const;
  // Verify()'s per-object part in index order, each distinct offset at its first use.
  Status VerifyInIndexOrder() const;

  // FetchObject's failure for a record that does not fit. Out of line: building the
  // message is the rare path.
  static StoreError RecordOutside(format::RecordFit fit, std::uint64_t offset);

  // Members are destroyed in reverse order: the tables go before the mapping.
  std::string path_;
  Mapping file_;
  std::uint32_t num_keys_;
  std::uint32_t num_objects_;
  std::uint64_t index_offset_;
  std::uint32_t file_crc32_;
  EntryTable entries_;
  HashIndex index_;
};

// "0x" followed by exactly eight lowercase hexadecimal digits.
std::string FormatCrc(std::uint32_t crc);

}  // namespace kalvex::reader
