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
// Opened with map_index (the package's readers), the header's feature bits are read: a
// bit this library does not know fails the open, and a file whose header declares a
// mapped index (format/mapped_index_layout.h) is read through it: open reads the header,
// the index's trailer and its last block only, the reader holds nothing per key, and
// every lookup, walk and search reads the mapping. The per-entry accessors (key(),
// object_offset(), Find, PrefixRange) then do not apply; the calls that can meet a
// damaged entry report it (Lookup, SearchPrefix, ReadEntries, the fetches, Verify),
// never as a miss or a short answer. Without map_index (the low-level module)
// the feature bits are ignored and every file reads as a plain store.
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
#include "core/reader/file_order.h"
#include "core/reader/hash_index.h"
#include "core/reader/mapped_index.h"
#include "core/reader/mapped_file.h"
#include "core/reader/value_decoder.h"
#include "core/result.h"

namespace kalvex::reader {

using Bytes = std::span<const std::uint8_t>;

// How to open a store. Fields are added at the end.
struct OpenOptions {
  bool verify = false;     // check the whole-file CRC-32 first
  bool map_index = false;  // read feature bits, and a declared mapped index in place
  // Check the payload CRC-32 of every record a fetch hands out (KalvCorruptError).
  bool check_records = false;
  // A store whose values are compressed (format/compression_layout.h) has its dictionary
  // checked and prepared at open (a damaged one fails it with KalvCorruptError), and its
  // values are decoded through DecodedSize and Decode; without it the payloads are what
  // the file stores, as for a reader that knows no compression.
  bool decode_values = false;
};

class Reader {
 public:
  // Opens `path` (UTF-8, kept exactly as given for messages and stats). The descriptor
  // is closed before returning; on failure everything acquired is released.
  // With `map_index`, a declared mapped index is read in place (see above); one that is
  // missing, disagrees with the header or the file, or cannot lie where its trailer says
  // fails the open with KalvCorruptError. Without it, or for a file that declares none,
  // the index section is parsed.
  static Result<std::unique_ptr<Reader>> Open(std::string path, const OpenOptions& options);
  static Result<std::unique_ptr<Reader>> Open(std::string path, bool verify, bool map_index = false,
                                              bool decode_values = false) {
    return Open(std::move(path), OpenOptions{verify, map_index, false, decode_values});
  }

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
  // Bytes of the mapped index record the file declares; 0 without one (and always 0
  // without map_index).
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
  // Whether the header declares compressed values (the payloads are stored values with a head).
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

  // One hash-index probe of the parsed index: the object offset of the last entry holding
  // `key`. REQUIRES: !maps_index(); Lookup serves both kinds of reader.
  std::optional<std::uint64_t> Find(Bytes key) const {
    const std::uint64_t position = index_.Find(entries_, key);
    if (position == HashIndex::kNotFound) return std::nullopt;
    return entries_.ObjectOffsetAt(position);
  }

  // The payload of the record at `offset`, after both bounds checks, and its CRC check
  // when opened with check_records.
  Result<Bytes> FetchObject(std::uint64_t offset) const {
    const format::RecordLocation record = format::LocateRecord(file_.data(), file_.size(), offset);
    if (record.fit != format::RecordFit::kFits) return RecordOutside(record.fit, offset);
    const Bytes payload(file_.data() + offset + format::kRecordHeadSize, record.payload_length);
    if (check_records_ && !RecordCrcHolds(offset, payload)) return RecordCrcMismatch(offset);
    return payload;
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

  // Calls each(position, key, object_offset) for entries [first, last) in order. A
  // damaged entry of a mapped index ends the walk with its error, after the entries
  // before it. REQUIRES: first <= last <= entry_count().
  template <class Each>
  Status WalkEntries(std::size_t first, std::size_t last, Each each) const {
    if (!mapped_) {
      for (std::size_t i = first; i < last; ++i) each(i, entries_.key(i), entries_.object_offset(i));
      return {};
    }
    return mapped_->Walk(first, last, [&](std::size_t i, const MappedIndex::Entry& entry) {
      each(i, entry.key, entry.object_offset);
      return true;
    });
  }

  // Keys and object offsets of entries [first, last), appended in order. A damaged entry
  // of a mapped index ends the list with its error, after the entries before it.
  // REQUIRES: first <= last <= entry_count().
  Status ReadEntries(std::size_t first, std::size_t last, std::vector<Bytes>& keys,
                     std::vector<std::uint64_t>& offsets) const;

  // The payloads of the records at `offsets`, appended to `out` in order, asking for
  // records a few ahead. The first failing fetch ends it with its error.
  Status FetchOffsets(const std::vector<std::uint64_t>& offsets, std::vector<Bytes>& out) const;

  // Entries [first, last) ordered by where their objects lie (see file_order.h), or
  // nullopt where that order gains nothing or cannot be had; a damaged entry of a mapped
  // index gives nullopt, and reading the range in index order reports it.
  // REQUIRES: first <= last <= entry_count().
  std::optional<FileOrder> InFileOrder(std::size_t first, std::size_t last) const;

  // Positions [first, last) of the keys that begin with `prefix`, in the parsed index.
  // REQUIRES: !maps_index(); SearchPrefix serves both kinds of reader.
  std::pair<std::size_t, std::size_t> PrefixRange(Bytes prefix) const;
  // The same; damage met by the search of a mapped index is its KalvCorruptError.
  Result<std::pair<std::size_t, std::size_t>> SearchPrefix(Bytes prefix) const;

  // The position of the first key not below `key` (entry_count() when every key is), in
  // O(log n): the seek every ordered query starts from. Damage met by the search of a
  // mapped index (MappedIndex::LowerBound) is KalvCorruptError, never a wrong position.
  Result<std::size_t> LowerBound(Bytes key) const;

  // Payloads of entries [first, last), in order. The first failing fetch is the error.
  Result<std::vector<Bytes>> FetchRange(std::size_t first, std::size_t last) const;

  // The payload of each distinct object offset once, in first-occurrence order; with
  // `offsets`, each payload's record offset at the same place (the object's identity).
  Result<std::vector<Bytes>> FetchUniqueObjects(std::vector<std::uint64_t>* offsets = nullptr) const;

  // Whole-file CRC, then bounds and payload CRC of each distinct referenced object, then
  // the data section: records chained from offset 40 exactly to index_offset, num_objects
  // of them. The first failure in that order is the error. Opened with map_index, also
  // that every entry's offset starts a record of that chain (not the middle of one, nor
  // the index section); then, for a reader using a mapped index, the index itself
  // (MappedIndex::Check), for which it parses the index section as an open without the
  // index would.
  Status Verify() const;
  // Verify() up to the values: the file, its records and a mapped index.
  Status VerifyStructure() const;
  // Verify() of a reader that decodes values ends here: every distinct referenced value
  // decodes to the length it records. (The dictionary was checked at open.)
  Status VerifyValues() const;

  // The check that makes a miss or a listing trustworthy, at a cost that grows with the
  // index, not the data: with a mapped index, its record's CRC-32 and the index section's
  // (MappedIndex::CheckCrcs). A reader that parsed the section has no CRC of it alone:
  // the whole-file CRC-32 is then the check.
  Status CheckIndex() const;

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

  // LowerBound over the parsed entries: a halving search, which takes ceil(log2 n)
  // comparisons for any input.
  std::size_t ParsedLowerBound(Bytes key) const;

  // The mapped index's halves of the calls above (reader_mapped.cc).
  Result<std::vector<Bytes>> MappedFetchRange(std::size_t first, std::size_t last) const;
  Result<std::vector<Bytes>> MappedFetchUniqueObjects(std::vector<std::uint64_t>* offsets) const;


  // FetchObject's failure for a record that does not fit. Out of line: building the
  // message is the rare path.
  static StoreError RecordOutside(format::RecordFit fit, std::uint64_t offset);
  // check_records' part of FetchObject, and its failure.
  bool RecordCrcHolds(std::uint64_t offset, Bytes payload) const;
  static StoreError RecordCrcMismatch(std::uint64_t offset);

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
  bool check_records_ = false;
  bool record_starts_ = false;  // Verify checks that entries name records' starts
};

// "0x" followed by exactly eight lowercase hexadecimal digits.
std::string FormatCrc(std::uint32_t crc);
// "0x" followed by exactly two lowercase hexadecimal digits.
std::string FormatFeatures(std::uint8_t bits);

}  // namespace kalvex::reader
