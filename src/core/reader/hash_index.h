// HashIndex: exact-match lookup from key bytes to an entry of an EntryTable.
//
// Linear probing over 64-bit slots, sized for a load of at most 0.8 (10 bytes per key),
// with every occupied slot in ascending order of its key's hash across the whole table.
// A key's home slot grows with its hash (it is taken from the hash's top bits), and the
// table is filled in hash order, each entry at its home or just after the entry before
// it; nothing wraps around, so a short overflow tail follows the last home.
//
// That order is what lets a probe stop early. A slot holds the entry's arena position
// and a 24-bit tag made from the top hash bits, complemented, so tags descend where
// hashes ascend. Scanning from the home slot, a probe passes slots of smaller hashes
// (greater tags) and stops at the first tag below its own: a slot of a greater hash, or
// an empty slot (tag 0). A miss therefore reads about as many slots as a hit (three on
// average at full load) instead of running to the end of its cluster, and a slot of
// another key is almost never followed into the arena.
//
// The slots are encoded and placed exactly as a mapped index's (format/
// mapped_index_layout.h states the invariants; format/slot_table.h places them): the
// arena is a verbatim copy of the index section, so an arena position is a place.
//
// The hash is keyed by fresh random seeds per table, so a file cannot be crafted to
// pile its keys into one probe run. Immutable after Build(); safe to share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/format/slot_table.h"
#include "core/reader/entry_table.h"
#include "core/same_bytes.h"

namespace kalvex::reader {

class HashIndex {
 public:
  // Positions must fit the slot's 40 bits: the arena may hold up to this many bytes.
  static constexpr std::uint64_t kMaxArenaSize = format::kMaxSlotPlace;
  static constexpr std::uint64_t kNotFound = ~std::uint64_t{0};

  HashIndex() = default;
  HashIndex(HashIndex&&) noexcept = default;
  HashIndex& operator=(HashIndex&&) noexcept = default;

  // Indexes every entry; a key seen again replaces the earlier entry.
  // REQUIRES: entries.arena_size() <= kMaxArenaSize. Throws std::bad_alloc.
  static HashIndex Build(const EntryTable& entries);

  // The arena position of the last entry holding `key`, or kNotFound.
  std::uint64_t Find(const EntryTable& entries, std::span<const std::uint8_t> key) const {
    if (table_.capacity() == 0) return kNotFound;
    return FindHashed(entries, key, Hash(key));
  }

  // The steps of Find, apart, for lookups of many keys whose cache misses overlap.
  std::uint64_t Hash(std::span<const std::uint8_t> key) const { return HashBytes(key.data(), key.size(), seed_); }
  // Starts loading the home slot, then the entry the probe will most likely compare.
  void PrefetchSlot(std::uint64_t hash) const {
    if (table_.capacity() != 0) {
      __builtin_prefetch(table_.bytes() + format::SlotHome(hash, table_.capacity()) * format::kSlotSize);
    }
  }
  void PrefetchEntry(const EntryTable& entries, std::uint64_t hash) const {
    if (table_.capacity() == 0) return;
    const std::uint64_t value = table_.slot(format::SlotHome(hash, table_.capacity()));
    if (value != 0) __builtin_prefetch(entries.arena() + (value & format::kSlotPlaceMask));
  }
  // REQUIRES: hash == Hash(key) and a nonempty table.
  std::uint64_t FindHashed(const EntryTable& entries, std::span<const std::uint8_t> key,
                           std::uint64_t hash) const {
    const std::uint64_t tag = format::SlotTag(hash);
    for (std::uint64_t s = format::SlotHome(hash, table_.capacity());; ++s) {
      const std::uint64_t value = table_.slot(s);
      if ((value & format::kSlotTagMask) == tag) {
        const std::uint64_t position = value & format::kSlotPlaceMask;
        if (SameBytes(format::EntryKey(entries.arena() + position), key)) return position;
      } else if ((value & format::kSlotTagMask) < tag) {
        return kNotFound;  // a greater hash, or an empty slot: the key would be before it
      }
    }
  }

  std::size_t MemoryUsage() const { return table_.MemoryUsage(); }

 private:
  format::SlotTable table_;
  HashSeed seed_{};
};

}  // namespace kalvex::reader
