#include "core/reader/mapped_index.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/format/crc32.h"
#include "core/key_compare.h"
#include "core/reader/entry_table.h"
#include "core/reader/hash_index.h"

namespace kalvex::reader {

namespace {

// How many keys ahead the deep check asks for a key's home slot.
constexpr std::size_t kCheckLookahead = 8;

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

StoreError BadTrailer(const std::string& what) {
  return StoreError::Corrupt("mapped index trailer " + what);
}

// The parse's words for a section whose entries end before or after the file does.
StoreError SectionEnd(std::uint64_t index_end, std::uint64_t size, const format::Header& header) {
  return StoreError::Corrupt("index section ends at " + std::to_string(index_end) + " but the file is " +
                             std::to_string(size) + " bytes (num_keys " + std::to_string(header.num_keys) +
                             ", index_offset " + std::to_string(header.index_offset) + ")");
}

}  // namespace

Result<MappedIndex> MappedIndex::Locate(const std::uint8_t* file, std::uint64_t size, const format::Header& header) {
  const std::uint64_t end = header.index_offset;
  // The smallest record that can hold a trailer must fit between the header and end.
  constexpr std::uint64_t kSmallestRecord = format::kRecordHeadSize + format::kIndexTrailerSize;
  if (end > size || end < format::kHeaderSize || end - format::kHeaderSize < kSmallestRecord) {
    return StoreError::Corrupt("the header declares a mapped index, but index_offset " + std::to_string(end) +
                               " leaves no room for one");
  }
  const format::IndexTrailer t = format::IndexTrailer::DecodeFrom(file + end - format::kIndexTrailerSize);
  if (t.magic != format::kIndexMagic) {
    return StoreError::Corrupt("the header declares a mapped index, but none ends at index_offset " +
                               std::to_string(end));
  }
  if (t.version != format::kIndexStructureVersion) {
    return StoreError::Unsupported("unsupported mapped index structure version " + std::to_string(t.version));
  }
  // The trailer repeats three facts of the header and the file; each must agree.
  if (t.num_keys != header.num_keys) {
    return BadTrailer("holds num_keys " + std::to_string(t.num_keys) + " but the header " +
                      std::to_string(header.num_keys));
  }
  if (t.index_offset != end) {
    return BadTrailer("holds index_offset " + std::to_string(t.index_offset) + " but the header " +
                      std::to_string(end));
  }
  if (t.index_length != size - end) {
    return BadTrailer("holds index_length " + std::to_string(t.index_length) + " but the index section is " +
                      std::to_string(size - end) + " bytes");
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
  index.index_crc32_ = t.index_crc32;
  index.record_offset_ = record_offset;
  index.payload_length_ = payload_length;
  // Every probe stops at an empty slot: the last one must be empty for probes to end
  // inside the table (they are bounded by slot_count as well).
  if (index.slot_count_ != 0 &&
      LoadBe64(index.slots_ + (index.slot_count_ - 1) * format::kSlotSize) != 0) {
    return BadTrailer("names a table whose last slot is occupied");
  }
  // The section's num_keys entries must end exactly at the end of the file, as a parse of
  // the section requires: entries appended behind them, with index_length stretched over
  // them, are refused as every reader refuses them. A walk of the last block checks it.
  if (t.num_keys == 0) {
    if (index.section_length_ != 0) return SectionEnd(end, size, header);
    return index;
  }
  Entry last{};
  Status walked = index.Walk(t.num_keys - 1, t.num_keys, [&](std::size_t, const Entry& entry) {
    last = entry;
    return true;
  });
  if (!walked.ok()) return walked.take_error();
  // One probe, for the last entry (the last of its key, so its slot names it): a seed,
  // capacity or table that finds no key is refused here instead of missing every key.
  Result<std::uint64_t> found = index.FindPlace(last.key, index.Hash(last.key));
  if (!found.ok()) return found.take_error();
  if (found.value() != last.next - format::EntrySize(last.key.size())) {
    return StoreError::Corrupt("mapped index does not find the key of its last entry");
  }
  return index;
}

Result<std::uint64_t> MappedIndex::FindPlace(Bytes key, std::uint64_t hash) const {
  std::uint64_t damaged = 0;
  const std::uint64_t place = Probe(key, hash, &damaged);
  if (place == kDamaged) return DamageAt(damaged);
  return place;
}

StoreError MappedIndex::DamageAt(std::uint64_t place) const {
  Result<Entry> entry = EntryAt(place);
  return entry.ok() ? StoreError::Corrupt("mapped index slot naming place " + std::to_string(place) + " is damaged")
                    : entry.take_error();
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

Result<std::uint64_t> MappedIndex::SampleAt(std::uint64_t k) const {
  const std::uint64_t place = LoadBe64(samples_ + k * format::kSampleSize);
  if ((k == 0 && place != 0) || place >= section_length_) {
    return StoreError::Corrupt("mapped index sample " + std::to_string(k) + " lies outside its place");
  }
  return place;
}

Status MappedIndex::CheckBlockEnd(std::size_t rank, std::uint64_t at) const {
  if (rank == num_keys_) {
    if (at == section_length_) return {};
    return StoreError::Corrupt("index section ends at " + std::to_string(record_offset_ + record_size() + at) +
                               " but the file is " + std::to_string(record_offset_ + record_size() + section_length_) +
                               " bytes (num_keys " + std::to_string(num_keys_) + ", index_offset " +
                               std::to_string(record_offset_ + record_size()) + ")");
  }
  if (LoadBe64(samples_ + (rank >> rank_shift_) * format::kSampleSize) == at) return {};
  return StoreError::Corrupt("mapped index sample " + std::to_string(rank >> rank_shift_) +
                             " does not locate entry " + std::to_string(rank));
}

StoreError MappedIndex::OutOfOrder(std::size_t rank) {
  return StoreError::Corrupt("index entry " + std::to_string(rank) + " is out of key order");
}

Result<std::size_t> MappedIndex::LowerBound(Bytes key) const {
  const std::size_t n = num_keys_;
  // How many sampled keys lie below `key`: a halving search over the samples, which
  // takes ceil(log2 sample_count) comparisons for any input. The sampled keys ascend:
  // each one read must lie between the greatest below `key` and the least not below it
  // found so far, which costs a comparison of keys already read.
  std::uint64_t below = 0;
  std::uint64_t size = sample_count_;
  Bytes low;
  Bytes high;
  bool has_low = false;
  bool has_high = false;
  while (size > 0) {
    const std::uint64_t half = size / 2;
    const std::uint64_t k = below + half;
    Result<std::uint64_t> place = SampleAt(k);
    if (!place.ok()) return place.take_error();
    Result<Entry> entry = EntryAt(place.value());
    if (!entry.ok()) return entry.take_error();
    const Bytes sampled = entry.value().key;
    if ((has_low && KeyLess(sampled, low)) || (has_high && KeyLess(high, sampled))) {
      return StoreError::Corrupt("mapped index sample " + std::to_string(k) + " is out of key order");
    }
    if (KeyLess(sampled, key)) {
      below += half + 1;
      size -= half + 1;
      low = sampled;
      has_low = true;
    } else {
      size = half;
      high = sampled;
      has_high = true;
    }
  }
  // The first key not below `key` lies after the last sample below it, within the
  // sample's block, or starts the next block.
  const std::size_t stride = std::size_t{1} << rank_shift_;
  std::size_t start = 0;
  if (below != 0) {
    const std::size_t block = static_cast<std::size_t>(below - 1) << rank_shift_;
    start = std::min(n, block + stride);
    // From the block's first entry, whose key the search compared, so that the walk checks
    // the whole block (its order, and that it ends where the next sample says) even when
    // every other key of it is not below `key`.
    Status walked = Walk(block, start, [&](std::size_t rank, const Entry& entry) {
      if (KeyLess(entry.key, key)) return true;
      start = rank;
      return false;
    });
    if (!walked.ok()) return walked.take_error();
  }
  return start;
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

Status MappedIndex::CheckCrcs(const std::uint8_t* file) const {
  const std::uint8_t* record = file + record_offset_;
  if (crc32::Value(record + format::kRecordHeadSize, payload_length_) != format::RecordPayloadCrc(record)) {
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(record_offset_));
  }
  const std::uint32_t section = crc32::Value(section_, section_length_);
  if (section != index_crc32_) {
    return StoreError::Corrupt("index section CRC32 mismatch  stored=0x" + Hex8(index_crc32_) + " computed=0x" +
                               Hex8(section));
  }
  return {};
}

Status MappedIndex::Check(const std::uint8_t* file, const EntryTable& entries, const HashIndex& index) const {
  if (Status crcs = CheckCrcs(file); !crcs.ok()) return crcs;
  if (entries.size() != num_keys_ || entries.arena_size() != section_length_) {
    return StoreError::Corrupt("index section holds entries the mapped index does not describe");
  }
  // The index is an object no key refers to: a key mapped to it would read the tables.
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries.object_offset_from_end(i) == record_offset_) {
      return StoreError::Corrupt("index entry " + std::to_string(i) + " refers to the mapped index");
    }
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
