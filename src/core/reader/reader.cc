#include "core/reader/reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/format/crc32.h"
#include "core/internal_failure.h"
#include "core/key_compare.h"
#include "core/reader/offset_set.h"

namespace kalvex::reader {

namespace {

// How many entries ahead the walks over distinct objects prefetch their seen-set slot.
constexpr std::size_t kSeenLookahead = 16;
// Verify's bitmap of referenced offsets may always take this much (1 MiB), and beyond it
// 64 bytes per key.
constexpr std::uint64_t kMaxSmallBitmapWords = std::uint64_t{1} << 17;

// Verify takes the file in blocks of this size: small enough to stay in the L2 cache
// while the objects starting in it are checked, large enough that the CRC engine runs
// at full speed.
constexpr std::uint64_t kVerifyBlock = std::uint64_t{64} << 10;

// How many entries ahead a range fetch asks for an object record.
constexpr std::size_t kFetchAhead = 16;

StoreError ExtendsBeyondEnd(std::uint64_t offset) {
  return StoreError::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

// The whole-file CRC check's failure, with both values.
StoreError FileCrcMismatch(std::uint32_t stored, std::uint32_t computed) {
  return StoreError::Corrupt("file CRC32 mismatch  stored=" + FormatCrc(stored) +
                             " computed=" + FormatCrc(computed));
}

// The whole-file CRC covers everything after the header. REQUIRES: n >= 40.
Status CheckFileCrc(const std::uint8_t* file, std::uint64_t n, std::uint32_t stored) {
  const std::uint32_t computed = crc32::Value(file + format::kHeaderSize, n - format::kHeaderSize);
  if (computed == stored) return {};
  return FileCrcMismatch(stored, computed);
}

// The data section's records, followed head to head from offset 40. The header lies
// under no CRC, so this is what ties num_objects and index_offset to the records: they
// must chain exactly to index_offset, and there must be num_objects of them.
//
// Each step needs the length read by the one before, a chain of dependent loads that
// would cost more than the file CRC on a file of tiny records. So the referenced objects,
// whose heads Verify reads anyway and in ascending order, are taken as steps where the
// chain arrives at them (StepAt), which is nearly always: only records no key refers to
// are followed one load after another (FollowTo).
class RecordChain {
 public:
  // REQUIRES: index_offset <= the size of `file` (an open reader's index section ends at
  // the end of the file).
  RecordChain(const std::uint8_t* file, std::uint64_t index_offset)
      : file_(file), index_offset_(index_offset) {}

  // Follows the records whose heads start before `limit`; stops at the first one that
  // runs past index_offset.
  void FollowTo(std::uint64_t limit) {
    const std::uint64_t stop = std::min(limit, index_offset_);
    while (!broken_ && next_ < stop) {
      // No head is read unless it lies before index_offset, so inside the file.
      if (index_offset_ - next_ < format::kRecordHeadSize) {
        broken_ = true;
        return;
      }
      Step(format::RecordPayloadLength(file_ + next_));
    }
  }

  // Follows the records up to `offset`, then the record there, whose payload length the
  // caller read from its head, if the chain arrives exactly at it (an offset into the
  // middle of a record is passed over). REQUIRES: `offset` above any earlier limit.
  void StepAt(std::uint64_t offset, std::uint32_t payload_length) {
    Mark(offset);
    if (!broken_ && next_ == offset && offset < index_offset_) Step(payload_length);
  }

  // Follows the records up to `offset` and notes it, the first time, when no record of
  // the chain starts there. REQUIRES: `offset` above any earlier limit.
  void Mark(std::uint64_t offset) {
    FollowTo(offset);
    if (!broken_ && !misplaced() && (next_ != offset || offset >= index_offset_)) misplaced_ = offset;
  }

  // An offset given to StepAt or Mark where no record starts (into the middle of a
  // record, or past the data section), or none.
  std::optional<std::uint64_t> misplaced() const {
    return misplaced_ == kNone ? std::nullopt : std::optional<std::uint64_t>(misplaced_);
  }

  // The chain's verdict, once FollowTo has been given the end of the file.
  Status Finish(std::uint32_t num_objects) const {
    if (index_offset_ < format::kDataOffset) {
      return StoreError::Corrupt("index_offset " + std::to_string(index_offset_) + " lies inside the header");
    }
    if (broken_) {
      return StoreError::Corrupt("object record at " + std::to_string(next_) + " runs past index_offset " +
                                 std::to_string(index_offset_));
    }
    if (count_ != num_objects) {
      return StoreError::Corrupt("data section holds " + std::to_string(count_) +
                                 " object records but num_objects is " + std::to_string(num_objects));
    }
    return {};
  }

 private:
  // The record at next_ (< index_offset_), of the given payload length.
  void Step(std::uint32_t payload_length) {
    // Differences of positions, never sums: a length near 2^32 must not wrap.
    const std::uint64_t room = index_offset_ - next_;
    if (room < format::kRecordHeadSize || room - format::kRecordHeadSize < payload_length) {
      broken_ = true;
      return;
    }
    next_ += format::kRecordHeadSize + payload_length;
    ++count_;
  }

  const std::uint8_t* file_;
  std::uint64_t index_offset_;
  std::uint64_t next_ = format::kDataOffset;
  std::uint64_t count_ = 0;
  bool broken_ = false;
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};  // no offset is this
  std::uint64_t misplaced_ = kNone;
};

StoreError NotARecord(std::uint64_t offset) {
  return StoreError::Corrupt("object offset " + std::to_string(offset) + " is not the start of an object record");
}

}  // namespace

std::string FormatFeatures(std::uint8_t bits) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02x", bits);
  return text;
}

std::string FormatCrc(std::uint32_t crc) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", crc);
  return text;
}

Reader::Reader(std::string path, Mapping file, const format::Header& header, EntryTable entries,
               HashIndex index)
    : path_(std::move(path)),
      file_(std::move(file)),
      num_keys_(header.num_keys),
      num_objects_(header.num_objects),
      index_offset_(header.index_offset),
      file_crc32_(header.file_crc32),
      entries_(std::move(entries)),
      index_(std::move(index)),
      features_(header.features) {}

Reader::~Reader() = default;

Result<std::unique_ptr<Reader>> Reader::Open(std::string path, const OpenOptions& options) {
  const bool verify = options.verify;
  const bool map_index = options.map_index;
  // Declared in this order so that a failure releases tables, mapping, descriptor.
  // O_NONBLOCK only matters for a FIFO, whose open would otherwise wait for a writer
  // forever; for regular files it changes nothing, and the FIFO then fails at mmap.
  auto fd = io::Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0, "cannot open " + path);
  if (!fd.ok()) return fd.take_error();
  auto mapped = MapWholeFile(fd.value());
  if (!mapped.ok()) return mapped.take_error().WithPath(path);
  Mapping& file = mapped.value();
  const std::uint8_t* bytes = file.data();
  const std::uint64_t n = file.size();

  if (n < format::kHeaderSize) return StoreError::Corrupt("file too small for header");
  const format::Header header = format::Header::DecodeFrom(bytes);
  if (header.magic != format::kMagic) {
    return StoreError::Corrupt("bad magic [" + std::to_string(header.magic[0]) + ", " +
                               std::to_string(header.magic[1]) + ", " +
                               std::to_string(header.magic[2]) + ", " +
                               std::to_string(header.magic[3]) + "]");
  }
  if (header.version != format::kVersion) return StoreError::Version(header.version);
  if (verify) {
    if (Status status = CheckFileCrc(bytes, n, header.file_crc32); !status.ok()) return status.take_error();
  }

  // Feature bits mean something only to the package's readers; the low-level module reads
  // every file as a plain store, as it always has.
  const std::uint8_t unknown = header.features & static_cast<std::uint8_t>(~format::kKnownFeatures);
  if (map_index && unknown != 0) {
    return StoreError::Unsupported("unsupported feature bits " + FormatFeatures(unknown) +
                                   " (a newer kalvex wrote this file)");
  }
  const bool declared = map_index && (header.features & format::kFeatureMappedIndex) != 0;
  // A compressed store's dictionary record ends where the mapped index's record begins
  // when the file declares one, else at index_offset.
  std::optional<ValueDecoder> decoder;
  if (options.decode_values && (header.features & format::kFeatureCompressedValues) != 0) {
    std::uint64_t dictionary_end = std::min<std::uint64_t>(header.index_offset, n);
    if ((header.features & format::kFeatureMappedIndex) != 0) {
      Result<MappedIndex> index = MappedIndex::Locate(bytes, n, header);
      if (!index.ok()) return index.take_error();
      dictionary_end = header.index_offset - index.value().record_size();
    }
    Result<ValueDecoder> opened = ValueDecoder::Open(bytes, n, dictionary_end);
    if (!opened.ok()) return opened.take_error();
    decoder = std::move(opened).value();
  }
  if (declared) {
    // The index object and the index section: what a parsed index reads whole at open,
    // so reading them in large folios never reads more than that; the records keep the
    // usual read-around. Advised before the trailer is read, so that its pages come in
    // large folios too: the object lies below index_offset at about 10.5 bytes per key,
    // so the range starts below any such object (taking a few records with it, harmlessly).
    const std::uint64_t below =
        std::min<std::uint64_t>(header.index_offset, 16 * std::uint64_t{header.num_keys} + 4096);
    if (header.index_offset <= n) file.AdviseHugePages(header.index_offset - below);
    Result<MappedIndex> located = MappedIndex::Locate(bytes, n, header);
    if (!located.ok()) return located.take_error();
    fd.value().Close();
    auto reader = std::unique_ptr<Reader>(new Reader(std::move(path), std::move(file), header, {}, {}));
    reader->mapped_ = located.value();
    reader->index_object_size_ = located.value().record_size();
    reader->check_records_ = options.check_records;
    reader->record_starts_ = true;
    reader->decoder_ = std::move(decoder);
    return reader;
  }

  auto entries = EntryTable::Parse(bytes, n, header.index_offset, header.num_keys);
  if (!entries.ok()) return entries.take_error();
  // The header lies under no CRC, so the index section must end exactly at the end of
  // the file: a lowered num_keys, or an index_offset moved onto some other run of
  // entries, would otherwise hide the keys beyond the parsed ones. With no keys, this puts
  // index_offset at the end of the file. (No wrap: parsed entries lie inside the file.)
  const std::uint64_t index_end = header.index_offset + entries.value().arena_size();
  if (index_end != n) {
    return StoreError::Corrupt("index section ends at " + std::to_string(index_end) + " but the file is " +
                               std::to_string(n) + " bytes (num_keys " + std::to_string(header.num_keys) +
                               ", index_offset " + std::to_string(header.index_offset) + ")");
  }
  // The hash index addresses entries with 40 bits; an index section of a terabyte or
  // more would not fit in memory anyway, so it is refused rather than mis-indexed.
  if (entries.value().arena_size() > HashIndex::kMaxArenaSize) {
    return StoreError::IO("index section of " + std::to_string(entries.value().arena_size()) +
                          " bytes is too large to load");
  }
  HashIndex index = HashIndex::Build(entries.value());
  // The index section now lives in the arena; its pages in the mapping are not read
  // again, so they need not stay resident on the reader's account.
  if (entries.value().arena_size() != 0) file.DropPages(header.index_offset, entries.value().arena_size());

  fd.value().Close();
  auto reader = std::unique_ptr<Reader>(new Reader(std::move(path), std::move(file), header,
                                                   std::move(entries).value(), std::move(index)));
  reader->check_records_ = options.check_records;
  reader->record_starts_ = map_index;
  reader->decoder_ = std::move(decoder);
  return reader;
}

StoreError Reader::RecordOutside(format::RecordFit fit, std::uint64_t offset) {
  if (fit == format::RecordFit::kHeadOutside) {
    return StoreError::Corrupt("offset " + std::to_string(offset) + " out of bounds");
  }
  return ExtendsBeyondEnd(offset);
}

Status Reader::CheckIndex() const {
  if (mapped_) return mapped_->CheckCrcs(file_.data());
  return CheckFileCrc(file_.data(), file_.size(), file_crc32_);
}

bool Reader::RecordCrcHolds(std::uint64_t offset, Bytes payload) const {
  return crc32::Value(payload.data(), payload.size()) == format::RecordPayloadCrc(file_.data() + offset);
}

StoreError Reader::RecordCrcMismatch(std::uint64_t offset) {
  return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
}

std::pair<std::size_t, std::size_t> Reader::PrefixRange(Bytes prefix) const {
  if (mapped_) throw InternalFailure("PrefixRange on a reader of a mapped index");
  const std::size_t start = ParsedLowerBound(prefix);
  std::size_t end = start;
  while (end < entries_.size() && StartsWith(entries_.key(end), prefix)) ++end;
  return {start, end};
}

Result<std::size_t> Reader::LowerBound(Bytes key) const {
  if (mapped_) return mapped_->LowerBound(key);
  return ParsedLowerBound(key);
}

std::size_t Reader::ParsedLowerBound(Bytes key) const {
  const std::size_t n = entries_.size();
  if (n == 0) return 0;
  // `size` shrinks by `half` whether or not base moves.
  std::size_t base = 0;
  std::size_t size = n;
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (KeyLess(entries_.key(mid), key)) base = mid;
    size -= half;
  }
  return KeyLess(entries_.key(base), key) ? base + 1 : base;
}

Result<std::vector<Bytes>> Reader::FetchRange(std::size_t first, std::size_t last) const {
  if (mapped_) return MappedFetchRange(first, last);
  std::vector<Bytes> payloads;
  if (last <= first) return payloads;
  payloads.reserve(last - first);
  const std::uint64_t size = file_.size();
  for (std::size_t i = first; i < last; ++i) {
    // Key order is random order in the data section: asking for the record a few keys
    // ahead lets those cache misses overlap instead of being waited for one by one.
    if (last - i > kFetchAhead) {
      const std::uint64_t ahead = entries_.object_offset(i + kFetchAhead);
      if (ahead < size) __builtin_prefetch(file_.data() + ahead);
    }
    auto payload = FetchObject(entries_.object_offset(i));
    if (!payload.ok()) return payload.take_error();
    payloads.push_back(payload.value());
  }
  return payloads;
}

Result<std::vector<Bytes>> Reader::FetchUniqueObjects(std::vector<std::uint64_t>* offsets) const {
  if (mapped_) return MappedFetchUniqueObjects(offsets);
  std::vector<Bytes> payloads;
  const std::size_t n = entries_.size();
  if (n == 0) return payloads;
  OffsetSet seen(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kSeenLookahead < n) seen.Prefetch(entries_.object_offset(i + kSeenLookahead));
    const std::uint64_t offset = entries_.object_offset(i);
    if (!seen.Insert(offset)) continue;
    auto payload = FetchObject(offset);
    if (!payload.ok()) return payload.take_error();
    payloads.push_back(payload.value());
    if (offsets != nullptr) offsets->push_back(offset);
  }
  return payloads;
}

Status Reader::VerifyObjects(const EntryTable& entries) const {
  const std::size_t n = entries.size();
  const std::uint64_t file_size = file_.size();
  // The distinct objects are checked in file order, so the file is read front to back
  // instead of at random, which on a large file is most of the cost. A bit per byte of
  // the file marks the referenced offsets: setting them dedupes, and scanning the bits
  // yields the offsets in ascending order without a sort. Which failure is reported
  // depends on index order, so the first failure found here sends the check through the
  // index-order walk, which reports the first failure of the same set of objects in index
  // order. A file of few, large objects would need a bitmap far larger than its index;
  // there the objects are few enough to take in index order after the file CRC.
  const std::uint64_t words = (file_size + 63) / 64;
  const bool in_file_order = n != 0 && words <= 8 * std::uint64_t{n} + kMaxSmallBitmapWords;
  std::vector<std::uint64_t> referenced(in_file_order ? words : 0);
  bool objects_hold = in_file_order;
  for (std::size_t i = 0; i < n && objects_hold; ++i) {
    const std::uint64_t offset = entries.object_offset_from_end(i);
    objects_hold = offset < file_size;
    if (objects_hold) referenced[offset / 64] |= std::uint64_t{1} << (offset % 64);
  }

  // Records go in batches: bounds first, then the payload CRCs of the whole batch in one
  // call, which works on short payloads side by side.
  constexpr std::size_t kBatch = 256;
  const std::uint8_t* payloads[kBatch];
  std::size_t lengths[kBatch];
  std::uint32_t stored[kBatch];
  std::uint32_t computed[kBatch];
  std::size_t filled = 0;
  const auto batch_holds = [&] {
    crc32::ValueEach(payloads, lengths, filled, computed);
    const bool all_match = std::equal(stored, stored + filled, computed);
    filled = 0;
    return all_match;
  };
  RecordChain chain(file_.data(), index_offset_);
  // The objects starting at offsets [64 * from, 64 * to); false at the first failure.
  const auto objects_in = [&](std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t w = from; w < to; ++w) {
      for (std::uint64_t bits = referenced[w]; bits != 0; bits &= bits - 1) {
        const std::uint64_t offset = w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
        const format::RecordLocation location = format::LocateRecord(file_.data(), file_size, offset);
        if (location.fit != format::RecordFit::kFits) return false;
        chain.StepAt(offset, location.payload_length);
        const std::uint8_t* record = file_.data() + offset;
        payloads[filled] = record + format::kRecordHeadSize;
        lengths[filled] = location.payload_length;
        stored[filled] = format::RecordPayloadCrc(record);
        if (++filled == kBatch && !batch_holds()) return false;
      }
    }
    return true;
  };

  // The whole-file CRC goes a block at a time, and the record heads and the referenced
  // objects that start in a block are checked right after it, while its bytes are still
  // in the cache: one pass over the file from memory instead of two. A file CRC mismatch
  // is still the error whatever the objects hold, as when the file CRC ran first, so a
  // failing object only ends the object checks.
  std::uint32_t file_crc = 0;
  std::uint64_t checked_words = 0;
  for (std::uint64_t start = format::kHeaderSize; start < file_size; start += kVerifyBlock) {
    const std::uint64_t end = std::min(file_size, start + kVerifyBlock);
    file_crc = crc32::Extend(file_crc, file_.data() + start, end - start);
    if (objects_hold) {
      objects_hold = objects_in(checked_words, end / 64);
      checked_words = end / 64;
    }
    // The rest of the records starting in the block: those no key refers to, or all of
    // them once an object has failed (the chain does not depend on payloads).
    chain.FollowTo(objects_hold ? 64 * checked_words : end);
  }
  if (file_crc != file_crc32_) return FileCrcMismatch(file_crc32_, file_crc);
  if (objects_hold) objects_hold = objects_in(checked_words, words) && (filled == 0 || batch_holds());
  chain.FollowTo(file_size);
  if (n != 0 && !objects_hold) {
    if (Status status = VerifyInIndexOrder(entries); !status.ok()) return status;
  }
  // Last, so that every file today's checks reject is reported as before.
  if (Status finished = chain.Finish(num_objects_); !finished.ok() || !record_starts_) return finished;
  if (in_file_order) {
    if (const auto misplaced = chain.misplaced()) return NotARecord(*misplaced);
    return {};
  }
  // Objects too few for the bitmap: their offsets, sorted, are marked on a chain of their own.
  std::vector<std::uint64_t> offsets;
  offsets.reserve(n);
  for (std::size_t i = 0; i < n; ++i) offsets.push_back(entries.object_offset(i));
  std::sort(offsets.begin(), offsets.end());
  RecordChain starts(file_.data(), index_offset_);
  for (const std::uint64_t offset : offsets) starts.Mark(offset);
  if (const auto misplaced = starts.misplaced()) return NotARecord(*misplaced);
  return {};
}

Status Reader::VerifyInIndexOrder(const EntryTable& entries) const {
  const std::size_t n = entries.size();
  OffsetSet seen(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kSeenLookahead < n) seen.Prefetch(entries.object_offset(i + kSeenLookahead));
    const std::uint64_t offset = entries.object_offset(i);
    if (!seen.Insert(offset)) continue;
    if (Status status = CheckObject(offset); !status.ok()) return status;
  }
  return {};
}

Status Reader::Decode(Bytes stored, std::uint8_t* out, std::size_t length) const {
  if (!decoder_) {
    if (length != 0) std::memcpy(out, stored.data(), length);
    return {};
  }
  return decoder_->Decode(stored, out, length);
}

Status Reader::VerifyValues() const {
  if (!decoder_) return {};
  Result<std::vector<Bytes>> values = FetchUniqueObjects();
  if (!values.ok()) return values.take_error();
  std::vector<std::uint8_t> scratch;
  for (const Bytes stored : values.value()) {
    Result<std::size_t> length = decoder_->DecodedSize(stored);
    if (!length.ok()) return length.take_error();
    if (scratch.size() < length.value()) scratch.resize(length.value());
    if (Status decoded = decoder_->Decode(stored, scratch.data(), length.value()); !decoded.ok()) return decoded;
  }
  return {};
}

Status Reader::CheckObject(std::uint64_t offset) const {
  const format::RecordLocation location = format::LocateRecord(file_.data(), file_.size(), offset);
  // Verify words an offset outside the file apart from a fetch's "offset ... out of bounds".
  if (location.fit == format::RecordFit::kHeadOutside) {
    return StoreError::Corrupt("object offset " + std::to_string(offset) + " out of bounds");
  }
  if (location.fit == format::RecordFit::kPayloadOutside) return ExtendsBeyondEnd(offset);
  const std::uint8_t* record = file_.data() + offset;
  if (crc32::Value(record + format::kRecordHeadSize, location.payload_length) !=
      format::RecordPayloadCrc(record)) {
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return {};
}

}  // namespace kalvex::reader
