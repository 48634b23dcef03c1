// MappedIndex: a file's mapped index (format/mapped_index_layout.h), read where it lies.
//
// Locating it reads a constant amount (the trailer, the last block of entries), so a
// reader that uses it opens in constant time and keeps no copy of keys or places: lookups
// read the slots, the index entries and the records straight from the mapping, shared
// with every process that maps the file.
//
// Nothing read from the structure is trusted, whether or not the file's CRC was checked
// (a crafted file can carry a matching CRC): every slot, sample and entry is bounds-checked
// against the index section with exact arithmetic before it is followed, walks check each
// block they touch against the samples and key order, and a slot naming another key's
// entry is told from a tag collision by that key's hash. Damage that a check can see is a
// KalvCorruptError, never a miss or a short answer; damage none can see without reading
// the whole index (a slot's tag changed or emptied, a key or an object offset changed
// into another well-formed one) gives a miss or a wrong, still bounds-checked, answer,
// which the index's CRCs (CheckCrcs) and the deep check (Check) find.
//
// A view into a mapping it does not own; immutable, so safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/format/endian.h"
#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/format/mapped_index_layout.h"
#include "core/key_compare.h"
#include "core/result.h"
#include "core/same_bytes.h"

namespace kalvex::reader {

class EntryTable;
class HashIndex;

class MappedIndex {
 public:
  using Bytes = std::span<const std::uint8_t>;
  static constexpr std::uint64_t kNotFound = ~std::uint64_t{0};
  // Probe's answer when a slot names a place where no whole entry lies (places are below
  // 2^40, so neither value is one).
  static constexpr std::uint64_t kDamaged = kNotFound - 1;

  // The mapped index whose record ends at the header's index_offset in `file` (`size`
  // bytes, the header already decoded, its magic and version checked, and its
  // kFeatureMappedIndex bit set: the writer declared the index, so a trailer that is not
  // there, disagrees with the header or the file on any field it repeats, or describes
  // tables that cannot lie where it says fails with KalvCorruptError; a structure version
  // this library does not read fails with KalvVersionError). Constant time: it reads the
  // trailer, the last slot, the last block of entries (whose end must be the file's), and
  // probes for the last key (which the table must find where it lies).
  static Result<MappedIndex> Locate(const std::uint8_t* file, std::uint64_t size, const format::Header& header);

  std::uint32_t size() const { return num_keys_; }
  std::uint64_t record_offset() const { return record_offset_; }
  std::uint64_t record_size() const { return format::kRecordHeadSize + payload_length_; }

  // ---- Lookups, whole or in steps (hash, prefetches, probe) for batches ----------------
  std::uint64_t Hash(Bytes key) const { return HashBytes(key.data(), key.size(), seed_); }
  void PrefetchSlot(std::uint64_t hash) const {
    if (capacity_ != 0) __builtin_prefetch(slots_ + format::SlotHome(hash, capacity_) * format::kSlotSize);
  }
  // Starts loading the entry the home slot names, if it lies in the index section.
  void PrefetchEntry(std::uint64_t hash) const {
    if (capacity_ == 0) return;
    const std::uint64_t place = LoadBe64(slots_ + format::SlotHome(hash, capacity_) * format::kSlotSize) &
                                format::kSlotPlaceMask;
    if (place < section_length_) __builtin_prefetch(section_ + place);
  }
  // The place of the entry holding `key`, kNotFound, or kDamaged with the place of the
  // damage in *damaged: a slot naming a place that holds no whole entry, or an entry
  // whose key has another tag, or a slot that is not well-formed or out of hash order
  // with the ones beside it that the probe reads. The lookup's hot path:
  // no error value is built unless there is damage. REQUIRES: hash == Hash(key).
  std::uint64_t Probe(Bytes key, std::uint64_t hash, std::uint64_t* damaged) const {
    if (capacity_ == 0) return kNotFound;
    const std::uint64_t tag = format::SlotTag(hash);
    // Occupied slots stand in ascending hash order: their tags never rise along a probe.
    std::uint64_t last_tag = format::kSlotTagMask;
    for (std::uint64_t s = format::SlotHome(hash, capacity_); s < slot_count_; ++s) {
      const std::uint64_t value = LoadBe64(slots_ + s * format::kSlotSize);
      if ((value & format::kSlotTagMask) > last_tag) {
        *damaged = value & format::kSlotPlaceMask;
        return kDamaged;
      }
      last_tag = value & format::kSlotTagMask;
      if ((value & format::kSlotTagMask) == tag) {
        const std::uint64_t place = value & format::kSlotPlaceMask;
        if (WholeEntrySize(place) == 0) {
          *damaged = place;
          return kDamaged;
        }
        const Bytes found = format::EntryKey(section_ + place);
        if (SameBytes(found, key)) return place;
        // Another key under the same tag: 23 hash bits alike, which is rare, or a slot
        // whose place was damaged, which the other key's own tag shows.
        if (format::SlotTag(Hash(found)) != tag) {
          *damaged = place;
          return kDamaged;
        }
      } else if ((value & format::kSlotTagMask) < tag) {
        // A greater hash, or an empty slot: the key would be before it. Checked on this
        // path only, once per miss: a slot neither empty nor marked present is damaged,
        // and so is an occupied one followed by a slot of a greater tag (a tag lowered by
        // damage would otherwise end the probe before the key's own slot).
        if (value != 0) {
          const std::uint64_t next = s + 1 < slot_count_ ? LoadBe64(slots_ + (s + 1) * format::kSlotSize) : 0;
          if ((value >> 63) == 0 || (next & format::kSlotTagMask) > (value & format::kSlotTagMask)) {
            *damaged = value & format::kSlotPlaceMask;
            return kDamaged;
          }
        }
        return kNotFound;
      }
    }
    return kNotFound;
  }
  // Probe, with damage as KalvCorruptError.
  Result<std::uint64_t> FindPlace(Bytes key, std::uint64_t hash) const;
  // The object offset the entry holding `key` names, with damage as KalvCorruptError.
  // REQUIRES: hash == Hash(key).
  Result<std::optional<std::uint64_t>> Find(Bytes key, std::uint64_t hash) const {
    std::uint64_t damaged = 0;
    const std::uint64_t place = Probe(key, hash, &damaged);
    if (place == kNotFound) return std::optional<std::uint64_t>();
    if (place == kDamaged) return DamageAt(damaged);
    return std::optional<std::uint64_t>(ObjectOffsetAt(place));
  }
  Result<std::optional<std::uint64_t>> Find(Bytes key) const { return Find(key, Hash(key)); }

  // ---- Positional access -----------------------------------------------------------------
  // One index entry, read at a place after its bounds checks.
  struct Entry {
    Bytes key;
    std::uint64_t object_offset;
    std::uint64_t next;  // the place of the entry after it
  };
  Result<Entry> EntryAt(std::uint64_t place) const;

  // Calls visit(rank, entry) for the entries of ranks [first, last), in order, until it
  // returns false. The walk starts at the sample of `first`'s block and goes on, without
  // visiting, to the end of the block where it stopped, so every block it touches is
  // checked whole: keys ascending, and its end where the next sample (or, for the last
  // block, the section) says. The first damaged or misplaced entry ends the walk with its
  // error, after the entries before it were visited. REQUIRES: first <= last <= size().
  template <class Visit>
  Status Walk(std::size_t first, std::size_t last, Visit visit) const {
    if (first >= last) return {};
    const std::size_t mask = (std::size_t{1} << rank_shift_) - 1;
    const std::size_t begin = first & ~mask;
    Result<std::uint64_t> start = SampleAt(begin >> rank_shift_);
    if (!start.ok()) return start.take_error();
    std::uint64_t at = start.value();
    std::size_t stop = BlockEnd(last - 1);
    Bytes previous;
    for (std::size_t rank = begin; rank < stop; ++rank) {
      if (rank != begin) {
        // Each block starts where its sample says; keys never descend.
        if ((rank & mask) == 0 && LoadBe64(samples_ + (rank >> rank_shift_) * format::kSampleSize) != at) {
          return CheckBlockEnd(rank, at);
        }
      }
      // EntryAt's checks, without building a result per entry: walks cover whole sections.
      const std::uint64_t size = WholeEntrySize(at);
      if (size == 0) return DamageAt(at);
      const std::uint8_t* entry = section_ + at;
      const Bytes key = format::EntryKey(entry);
      if (rank != begin && KeyLess(key, previous)) return OutOfOrder(rank);
      if (rank >= first && rank < last &&
          !visit(rank, Entry{key, format::EntryObjectOffsetBefore(entry + size), at + size})) {
        last = rank;  // visit no more; finish the block this entry lies in
        stop = BlockEnd(rank);
      }
      previous = key;
      at += size;
    }
    return CheckBlockEnd(stop, at);
  }

  // The rank of the first key not below `key` (size() when every key is): a halving
  // search over the sampled entries, then a walk of the one block it lands in. The whole
  // block is walked, in key order, and must end where the next sample (or the section)
  // says, so that a sample which does not locate its rank, or keys out of order, fail
  // with KalvCorruptError instead of giving a wrong rank.
  Result<std::size_t> LowerBound(Bytes key) const;

  // Ranks [first, last) of the keys that begin with `prefix`.
  Result<std::pair<std::size_t, std::size_t>> PrefixRange(Bytes prefix) const;

  // The record's payload CRC and the index section's CRC (the trailer's index_crc32):
  // every byte of the index, at a cost that grows with the index, not the data.
  Status CheckCrcs(const std::uint8_t* file) const;

  // The deep check's part, given the entries parsed from the same index section and
  // their hash index: CheckCrcs, every rank sample, that no entry refers to the index's
  // own record, and that each key is found at the entry the hash index finds, with no
  // slot beyond those.
  Status Check(const std::uint8_t* file, const EntryTable& entries, const HashIndex& index) const;

 private:
  MappedIndex() = default;

  // The size of the whole entry at `place`, or 0 where none lies inside the section (no
  // entry is empty): the key length, then the whole entry, must fit what is left of it.
  std::uint64_t WholeEntrySize(std::uint64_t place) const {
    if (place > section_length_ || section_length_ - place < format::kEntryKeyLengthSize) return 0;
    const std::uint64_t size = format::EntrySize(format::EntryKeyLength(section_ + place));
    return section_length_ - place < size ? 0 : size;
  }
  // The object offset of the entry at a place Probe returned (a whole entry lies there).
  std::uint64_t ObjectOffsetAt(std::uint64_t place) const { return format::EntryObjectOffset(section_ + place); }
  // EntryAt's error for a place Probe found damaged. Out of line: the rare path.
  StoreError DamageAt(std::uint64_t place) const;

  // Sample k's place, checked to lie in the section (sample 0 at its start).
  // REQUIRES: k < sample_count_.
  Result<std::uint64_t> SampleAt(std::uint64_t k) const;
  // The rank after the last of the block `rank` lies in (the block's end or size()).
  std::size_t BlockEnd(std::size_t rank) const {
    const std::size_t end = (rank | ((std::size_t{1} << rank_shift_) - 1)) + 1;
    return end < num_keys_ ? end : num_keys_;
  }
  // That a walk arriving at rank `rank` (a block's end) at place `at` is where the next
  // sample, or for rank size() the section's end, says.
  Status CheckBlockEnd(std::size_t rank, std::uint64_t at) const;
  // A walk's error for the entry at `rank`, whose key is below the one before it.
  static StoreError OutOfOrder(std::size_t rank);

  const std::uint8_t* slots_ = nullptr;
  std::uint64_t slot_count_ = 0;
  std::uint64_t capacity_ = 0;
  const std::uint8_t* samples_ = nullptr;
  std::uint64_t sample_count_ = 0;
  unsigned rank_shift_ = 0;
  const std::uint8_t* section_ = nullptr;  // the index section
  std::uint64_t section_length_ = 0;
  std::uint32_t num_keys_ = 0;
  HashSeed seed_{};
  std::uint32_t index_crc32_ = 0;
  std::uint64_t record_offset_ = 0;
  std::uint64_t payload_length_ = 0;
};

}  // namespace kalvex::reader
