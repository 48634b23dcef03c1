#include "core/reader/mapped_index.h"

#include <algorithm>
#include <string>

#include "core/format/crc32.h"
#include "core/key_compare.h"
#include "core/reader/entry_table.h"
#include "core/reader/hash_index.h"

namespace kalvex::reader {

namespace {

// How many keys ahead the deep check asks for a key's home slot.
constexpr std::size_t kCheckLookahead = 8;

StoreError BadTrailer(const std::string& what) {
  return StoreError::Corrupt("mapped index trailer " + what);
}

}  // namespace

Result<std::optional<MappedIndex>> MappedIndex::Locate(const std::uint8_t* file, std::uint64_t size,
                                                       const format::Header& header) {
  const std::uint64_t end = header.index_offset;
  // The smallest record that can hold a trailer must fit between the header and end.
  constexpr std::uint64_t kSmallestRecord = format::kRecordHeadSize + format::kIndexTrailerSize;
  if (end > size || end < format::kHeaderSize || end - format::kHeaderSize < kSmallestRecord) {
    return std::optional<MappedIndex>();
  }
  const format::IndexTrailer t = format::IndexTrailer::DecodeFrom(file + end - format::kIndexTrailerSize);
  if (t.magic != format::kIndexMagic || t.version != format::kIndexStructureVersion) {
    return std::optional<MappedIndex>();
  }
  if (t.num_keys != header.num_keys || t.index_offset != end || t.index_length != size - end) {
    return std::optional<MappedIndex>();  // built for another index section
  }
  // Every entry takes at least kEntryOverhead bytes: a count beyond what the section can
  // hold is the truncation a parse would meet, and bounds what walks may allocate for.
  if (t.num_keys > (size - end) / format::kEntryOverhead) {
    return StoreError::Corrupt("index section truncated (key_len)");
  }
  if (t.rank_shift > format::kMaxRankShift) {
    return BadTrailer("holds rank shift " + std::to_string(t.rank_shift));
  }
  if (t.padding >= format::kSlotAlignment) return BadTrailer("holds padding " + std::to_string(t.padding));
  // A probe starts at a home below capacity and must find an empty slot after it.
  if ((t.num_keys != 0 && t.capacity == 0) || (t.capacity != 0 && t.slot_count <= t.capacity)) {
    return BadTrailer("holds " + std::to_string(t.slot_count) + " slots for " +
                      std::to_string(t.capacity) + " homes");
  }

  // Tables and trailer must fill the record that ends at index_offset, exactly.
  const std::uint64_t sample_count = format::SampleCountFor(t.num_keys, t.rank_shift);
  std::uint64_t room = end - format::kHeaderSize - kSmallestRecord;  // bytes for padding and tables
  if (room < t.padding) return BadTrailer("describes tables larger than the data section");
  room -= t.padding;
  if (t.slot_count > room / format::kSlotSize ||
      sample_count > (room - t.slot_count * format::kSlotSize) / format::kSampleSize) {
    return BadTrailer("describes tables larger than the data section");
  }
  const std::uint64_t payload_length =
      t.padding + (t.slot_count + sample_count) * format::kSlotSize + format::kIndexTrailerSize;
  const std::uint64_t record_offset = end - format::kRecordHeadSize - payload_length;
  if (format::RecordPayloadLength(file + record_offset) != payload_length) {
    return BadTrailer("does not match the length of its record");
  }
  MappedIndex index;
  index.slots_ = file + record_offset + format::kRecordHeadSize + t.padding;
  index.slot_count_ = t.slot_count;
  index.capacity_ = t.capacity;
  index.samples_ = index.slots_ + t.slot_count * format::kSlotSize;
  index.sample_count_ = sample_count;
  index.rank_shift_ = t.rank_shift;
  index.section_ = file + end;
  index.section_length_ = size - end;
  index.num_keys_ = t.num_keys;
  index.seed_ = t.seed;
  index.record_offset_ = record_offset;
  index.payload_length_ = payload_length;
  // Every probe stops at an empty slot: the last one must be empty for probes to end
  // inside the table (they are bounded by slot_count as well).
  if (index.slot_count_ != 0 &&
      LoadBe64(index.slots_ + (index.slot_count_ - 1) * format::kSlotSize) != 0) {
    return BadTrailer("names a table whose last slot is occupied");
  }
  return std::optional<MappedIndex>(index);
}

Result<std::uint64_t> MappedIndex::FindPlace(Bytes key, std::uint64_t hash) const {
  std::uint64_t damaged = 0;
  const std::uint64_t place = Probe(key, hash, &damaged);
  if (place == kDamaged) return DamageAt(damaged);
  return place;
}

StoreError MappedIndex::DamageAt(std::uint64_t place) const {
  Result<Entry> entry = EntryAt(place);
  return entry.ok() ? StoreError::Corrupt("mapped index slot names a damaged entry") : entry.take_error();
}

Result<MappedIndex::Entry> MappedIndex::EntryAt(std::uint64_t place) const {
  const std::uint64_t n = section_length_;
  if (place > n || n - place < format::kEntryKeyLengthSize) {
    return StoreError::Corrupt("index section truncated (key_len)");
  }
  const std::uint64_t entry_size = format::EntrySize(format::EntryKeyLength(section_ + place));
  if (n - place < entry_size) return StoreError::Corrupt("index section truncated (key + offset)");
  const std::uint8_t* entry = section_ + place;
  return Entry{format::EntryKey(entry), format::EntryObjectOffsetBefore(entry + entry_size), place + entry_size};
}

Result<std::uint64_t> MappedIndex::PlaceOf(std::size_t rank) const {
  const std::uint64_t sample = rank >> rank_shift_;
  std::uint64_t place = LoadBe64(samples_ + sample * format::kSampleSize);
  for (std::uint64_t r = sample << rank_shift_; r < rank; ++r) {
    Result<Entry> entry = EntryAt(place);
    if (!entry.ok()) return entry.take_error();
    place = entry.value().next;
  }
  return place;
}

Result<std::size_t> MappedIndex::LowerBound(Bytes key) const {
  const std::size_t n = num_keys_;
  if (n == 0) return std::size_t{0};
  const auto sample_place = [&](std::uint64_t k) { return LoadBe64(samples_ + k * format::kSampleSize); };
  const auto misplaced = [&](std::uint64_t k) {
    return StoreError::Corrupt("mapped index sample " + std::to_string(k) + " does not locate entry " +
                               std::to_string(k << rank_shift_));
  };
  // How many sampled keys lie below `key`: a halving search over the samples, which
  // takes ceil(log2 sample_count) comparisons for any input.
  std::uint64_t below = 0;
  std::uint64_t size = sample_count_;
  while (size > 0) {
    const std::uint64_t half = size / 2;
    Result<Entry> entry = EntryAt(sample_place(below + half));
    if (!entry.ok()) return entry.take_error();
    if (KeyLess(entry.value().key, key)) {
      below += half + 1;
      size -= half + 1;
    } else {
      size = half;
    }
  }
  // No sampled key below: the answer is rank 0, which the first sample must locate.
  if (below == 0) return sample_place(0) == 0 ? std::size_t{0} : Result<std::size_t>(misplaced(0));
  // The first key not below `key` lies in the block of the last sample below it, or
  // starts the next block. The search trusted the samples' order; the walk checks it
  // for this block: its first key is below `key`, its keys ascend (a file may repeat a
  // key), and it ends where the next sample, or the section, begins.
  const std::uint64_t block = below - 1;
  const std::size_t from = static_cast<std::size_t>(block) << rank_shift_;
  const std::size_t to = std::min(n, from + (std::size_t{1} << rank_shift_));
  std::uint64_t at = sample_place(block);
  std::size_t found = to;
  Bytes previous;
  for (std::size_t rank = from; rank < to; ++rank) {
    const std::uint64_t entry_size = WholeEntrySize(at);
    if (entry_size == 0) return DamageAt(at);
    const Bytes entry_key = format::EntryKey(section_ + at);
    if (rank == from ? !KeyLess(entry_key, key) : KeyLess(entry_key, previous)) return misplaced(block);
    if (found == to && !KeyLess(entry_key, key)) found = rank;
    previous = entry_key;
    at += entry_size;
  }
  const bool last_block = below == sample_count_;
  if (at != (last_block ? section_length_ : sample_place(below))) return misplaced(block);
  if (found == to && !last_block) {
    // The answer is the next sample's entry: it must not be below `key` either.
    Result<Entry> next = EntryAt(at);
    if (!next.ok()) return next.take_error();
    if (KeyLess(next.value().key, key) || KeyLess(next.value().key, previous)) return misplaced(below);
  }
  return found;
}

Result<std::pair<std::size_t, std::size_t>> MappedIndex::PrefixRange(Bytes prefix) const {
  Result<std::size_t> start = LowerBound(prefix);
  if (!start.ok()) return start.take_error();
  std::size_t end = start.value();
  Status walked = Walk(start.value(), num_keys_, [&](std::size_t rank, const Entry& entry) {
    if (!StartsWith(entry.key, prefix)) return false;
    end = rank + 1;
    return true;
  });
  if (!walked.ok()) return walked.take_error();
  return std::pair<std::size_t, std::size_t>{start.value(), end};
}

Status MappedIndex::Check(const std::uint8_t* file, const EntryTable& entries, const HashIndex& index) const {
  const std::uint8_t* record = file + record_offset_;
  if (crc32::Value(record + format::kRecordHeadSize, payload_length_) != format::RecordPayloadCrc(record)) {
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(record_offset_));
  }
  for (std::uint64_t k = 0; k < sample_count_; ++k) {
    const std::size_t rank = static_cast<std::size_t>(k << rank_shift_);
    if (LoadBe64(samples_ + k * format::kSampleSize) != entries.Position(rank)) {
      return StoreError::Corrupt("mapped index sample " + std::to_string(k) + " does not locate entry " +
                                 std::to_string(rank));
    }
  }
  // Each distinct key must be found where the hash index finds it (its last entry), and
  // the table may hold a slot for nothing else.
  const std::size_t n = entries.size();
  std::uint64_t distinct = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kCheckLookahead < n) PrefetchSlot(Hash(entries.key(i + kCheckLookahead)));
    const Bytes key = entries.key(i);
    if (index.Find(entries, key) != entries.Position(i)) continue;  // a later entry holds it
    ++distinct;
    Result<std::uint64_t> place = FindPlace(key, Hash(key));
    if (!place.ok()) return place.take_error();
    if (place.value() != entries.Position(i)) {
      return StoreError::Corrupt("mapped index does not find the key of entry " + std::to_string(i));
    }
  }
  std::uint64_t occupied = 0;
  for (std::uint64_t s = 0; s < slot_count_; ++s) occupied += LoadBe64(slots_ + s * format::kSlotSize) != 0;
  if (occupied != distinct) {
    return StoreError::Corrupt("mapped index holds " + std::to_string(occupied) + " slots for " +
                               std::to_string(distinct) + " keys");
  }
  return {};
}

}  // namespace kalvex::reader
