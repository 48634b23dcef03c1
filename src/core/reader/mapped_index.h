// MappedIndex: a file's mapped index (format/mapped_index_layout.h), read where it lies.
//
// Locating it reads the trailer alone, so a reader that uses it opens in constant time
// and keeps no copy of keys or places: lookups read the slots, the index entries and the
// records straight from the mapping, shared with every process that maps the file.
//
// Nothing read from the structure is trusted, whether or not the file's CRC was checked
// (a crafted file can carry a matching CRC): every slot, sample and entry is bounds-checked
// against the index section with exact arithmetic before it is followed. Damage that a
// check can see is a KalvCorruptError; damage it cannot see (a slot naming a wrong but
// well-formed entry) gives a miss or a wrong, still bounds-checked, answer, which the
// deep check (Check) finds.
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
  // bytes, the header already decoded and its magic and version checked). Nullopt when
  // there is none: no trailer there, one of another structure version, or one built for
  // another index section (num_keys, index_offset or the section's length differ); the
  // file is then read as a plain store. A trailer that agrees with the header but whose
  // tables cannot lie where it says fails with KalvCorruptError.
  static Result<std::optional<MappedIndex>> Locate(const std::uint8_t* file, std::uint64_t size,
                                                   const format::Header& header);

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
  // The place of the entry holding `key`, kNotFound, or kDamaged with the place that
  // holds no whole entry in *damaged. The lookup's hot path: no error value is built
  // unless there is damage. REQUIRES: hash == Hash(key).
  std::uint64_t Probe(Bytes key, std::uint64_t hash, std::uint64_t* damaged) const {
    if (capacity_ == 0) return kNotFound;
    const std::uint64_t tag = format::SlotTag(hash);
    for (std::uint64_t s = format::SlotHome(hash, capacity_); s < slot_count_; ++s) {
      const std::uint64_t value = LoadBe64(slots_ + s * format::kSlotSize);
      if ((value & format::kSlotTagMask) == tag) {
        const std::uint64_t place = value & format::kSlotPlaceMask;
        if (WholeEntrySize(place) == 0) {
          *damaged = place;
          return kDamaged;
        }
        if (SameBytes(format::EntryKey(section_ + place), key)) return place;
      } else if ((value & format::kSlotTagMask) < tag) {
        return kNotFound;  // a greater hash, or an empty slot: the key would be before it
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
  // The same, with damage as a miss.
  std::optional<std::uint64_t> FindOrMiss(Bytes key) const {
    std::uint64_t damaged = 0;
    const std::uint64_t place = Probe(key, Hash(key), &damaged);
    if (place >= kDamaged) return std::nullopt;
    return ObjectOffsetAt(place);
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
  // returns false. The first damaged entry ends the walk with its error.
  // REQUIRES: first <= last <= size().
  template <class Visit>
  Status Walk(std::size_t first, std::size_t last, Visit visit) const {
    if (first >= last) return {};
    Result<std::uint64_t> place = PlaceOf(first);
    if (!place.ok()) return place.take_error();
    std::uint64_t at = place.value();
    for (std::size_t rank = first; rank < last; ++rank) {
      // EntryAt's checks, without building a result per entry: walks cover whole sections.
      const std::uint64_t size = WholeEntrySize(at);
      if (size == 0) return DamageAt(at);
      const std::uint8_t* entry = section_ + at;
      if (!visit(rank, Entry{format::EntryKey(entry), format::EntryObjectOffsetBefore(entry + size), at + size})) {
        break;
      }
      at += size;
    }
    return {};
  }

  // The rank of the first key not below `key` (size() when every key is): a halving
  // search over the sampled entries, then a walk of the one block it lands in. The whole
  // block is walked, in key order, and must end where the next sample (or the section)
  // says, so that a sample which does not locate its rank, or keys out of order, fail
  // with KalvCorruptError instead of giving a wrong rank.
  Result<std::size_t> LowerBound(Bytes key) const;

  // Ranks [first, last) of the keys that begin with `prefix`.
  Result<std::pair<std::size_t, std::size_t>> PrefixRange(Bytes prefix) const;

  // The deep check's part, given the entries parsed from the same index section and
  // their hash index: the record's payload CRC, every rank sample, and that each key is
  // found at the entry the hash index finds, with no slot beyond those.
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

  // The place of the entry at `rank`: its sample, then a walk. REQUIRES: rank < size().
  Result<std::uint64_t> PlaceOf(std::size_t rank) const;

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
  std::uint64_t record_offset_ = 0;
  std::uint64_t payload_length_ = 0;
};

}  // namespace kalvex::reader
