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
//
// Opened with map_index, a file carrying a mapped index (format/mapped_index_layout.h)
// that agrees with its header is read through that instead: open reads the header and
// the index's trailer only, the reader holds nothing per key, and every lookup, walk and
// search reads the mapping. The per-entry accessors (key(), object_offset()) then do not
// apply; the calls that can meet a damaged entry report it (Lookup, ReadEntries, the
// fetches, Verify).
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
#include "core/reader/mapped_index.h"
#include "core/reader/mapped_file.h"
#include "core/reader/value_decoder.h"
#include "core/result.h"

namespace kalvex::reader {

using Bytes = std::span<const std::uint8_t>;

class Reader {
 public:
  // Opens `path` (UTF-8, kept exactly as given for messages and stats). The descriptor
  // is closed before returning; on failure everything acquired is released.
  // With `map_index`, a usable mapped index is read in place (see above); one that agrees
  // with the header but is damaged fails the open with KalvCorruptError. Without it, or
  // for a file without one, the index section is parsed.
  // With `decode_values`, a store whose values are compressed (format/compression_layout.h)
  // has its dictionary checked and prepared here (a damaged one fails the open with
  // KalvCorruptError), and its values are decoded through DecodedSize and Decode; without
  // it the payloads are what the file stores, as for a reader that knows no compression.
  static Result<std::unique_ptr<Reader>> Open(std::string path, bool verify, bool map_index = false,
                                              bool decode_values = false);

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

  // Whether lookups and walks go through the file's mapped index.
  bool maps_index() const { return mapped_.has_value(); }
  // Bytes of the mapped index record the file carries, used or not; 0 without a usable one.
  std::uint64_t index_object_size() const { return index_object_size_; }
  // The objects the file's writer was given: num_objects without a carried mapped index's
  // record. (0 for a header that counts no object at all; verify() then fails on the count.)
  // A compressed store's dictionary record is not one of them either.
  std::uint32_t num_user_objects() const {
    const std::uint32_t extra = (index_object_size_ != 0 ? 1 : 0) + (compressed() ? 1 : 0);
    return num_objects_ > extra ? num_objects_ - extra : 0;
  }

  // The header's features byte, as stored.
  std::uint8_t features() const { return features_; }
  // Whether the header declares compressed values (the payloads are tagged values).
  bool compressed() const { return (features_ & format::kFeatureCompressedValues) != 0; }
  // The decoder of a compressed store opened with decode_values; null otherwise.
  const ValueDecoder* decoder() const { return decoder_ ? &*decoder_ : nullptr; }

  // The length of the value whose stored payload is `stored` (a view this reader gave):
  // the payload's own length unless the reader decodes values.
  Result<std::size_t> DecodedSize(Bytes stored) const {
    if (!decoder_) return stored.size();
    return decoder_->DecodedSize(stored);
  }
  // The value into out[0, length), length being DecodedSize(stored). May throw
  // std::bad_alloc.
  Status Decode(Bytes stored, std::uint8_t* out, std::size_t length) const;

  std::size_t entry_count() const { return mapped_ ? mapped_->size() : entries_.size(); }

  // Key list and offset list, in index-section order (duplicates kept).
  // REQUIRES: !maps_index(); ReadEntries serves both kinds of reader.
  Bytes key(std::size_t i) const { return entries_.key(i); }
  std::uint64_t object_offset(std::size_t i) const { return entries_.object_offset(i); }
  // The same, read where entry i ends: a walk over many entries need not wait on each key.
  std::uint64_t object_offset_from_end(std::size_t i) const { return entries_.object_offset_from_end(i); }

  // One hash-index probe: the object offset of the last entry holding `key`. Damage met
  // in a mapped index counts as a miss here; Lookup reports it.
  std::optional<std::uint64_t> Find(Bytes key) const {
    if (mapped_) return mapped_->FindOrMiss(key);
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

  // Find, with damage met in a mapped index as KalvCorruptError.
  Result<std::optional<std::uint64_t>> Lookup(Bytes key) const;

  // The payloads of keys [first, last), key i being keys[ends[i-1], ends[i]) (from 0 for
  // i = 0), into out[i - first]: Bytes with a null data() for a missing key. Keys go in groups whose
  // cache misses overlap: all hashed, then their slots loaded, then their entries, then
  // their records. The first failure (damaged record or index) is the error; out is then
  // filled for the keys before the failing one's group only.
  Status FetchMany(const std::uint8_t* keys, const std::size_t* ends, std::size_t first, std::size_t last,
                   Bytes* out) const;

  // Keys and object offsets of entries [first, last), appended in order. A damaged entry
  // of a mapped index ends the list with its error, after the entries before it.
  // REQUIRES: first <= last <= entry_count().
  Status ReadEntries(std::size_t first, std::size_t last, std::vector<Bytes>& keys,
                     std::vector<std::uint64_t>& offsets) const;

  // The payloads of the records at `offsets`, appended to `out` in order, asking for
  // records a few ahead. The first failing fetch ends it with its error.
  Status FetchOffsets(const std::vector<std::uint64_t>& offsets, std::vector<Bytes>& out) const;

  // Positions [first, last) of the keys that begin with `prefix`. A damaged entry met by
  // the search of a mapped index gives an empty range.
  std::pair<std::size_t, std::size_t> PrefixRange(Bytes prefix) const;

  // Payloads of entries [first, last), in order. The first failing fetch is the error.
  Result<std::vector<Bytes>> FetchRange(std::size_t first, std::size_t last) const;

  // The payload of each distinct object offset once, in first-occurrence order; with
  // `offsets`, each payload's record offset at the same place (the object's identity).
  Result<std::vector<Bytes>> FetchUniqueObjects(std::vector<std::uint64_t>* offsets = nullptr) const;

  // Whole-file CRC, then bounds and payload CRC of each distinct referenced object, then
  // the data section: records chained from offset 40 exactly to index_offset, num_objects
  // of them. The first failure in that order is the error. For a reader using a mapped
  // index, then the index itself (MappedIndex::Check), for which it parses the index
  // section as an open without the index would. A reader that parsed the section leaves
  // a carried index alone, as every reader of the format does.
  Status Verify() const;
  // Verify() up to the values: the file, its records and a mapped index.
  Status VerifyStructure() const;
  // Verify() of a reader that decodes values ends here: every distinct referenced value
  // decodes to the length it records. (The dictionary was checked at open.)
  Status VerifyValues() const;

  // Bytes of native memory the reader holds besides the mapping.
  std::size_t MemoryUsage() const { return entries_.MemoryUsage() + index_.MemoryUsage(); }

 private:
  Reader(std::string path, Mapping file, const format::Header& header, EntryTable entries,
         HashIndex index);

  // Bounds and payload CRC of the record at `offset`, with Verify()'s messages.
  Status CheckObject(std::uint64_t offset) const;
  // Verify()'s whole-file CRC and per-object part over `entries`.
  Status VerifyObjects(const EntryTable& entries) const;
  // Verify()'s per-object part in index order, each distinct offset at its first use.
  Status VerifyInIndexOrder(const EntryTable& entries) const;

  // The mapped index's halves of the calls above (reader_mapped.cc).
  std::pair<std::size_t, std::size_t> MappedPrefixRange(Bytes prefix) const;
  Result<std::vector<Bytes>> MappedFetchRange(std::size_t first, std::size_t last) const;
  Result<std::vector<Bytes>> MappedFetchUniqueObjects(std::vector<std::uint64_t>* offsets) const;


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
  std::optional<MappedIndex> mapped_;  // when set, entries_ and index_ stay empty
  std::uint64_t index_object_size_ = 0;
  std::uint8_t features_ = 0;
  std::optional<ValueDecoder> decoder_;
};

// "0x" followed by exactly eight lowercase hexadecimal digits.
std::string FormatCrc(std::uint32_t crc);

}  // namespace kalvex::reader
