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
// Invariants: slot == 0 means empty; otherwise bits 40..63 are the tag (top bit always
// set, so no occupied slot is 0) and bits 0..39 the arena position of the last entry
// holding that key. Every slot between a key's home and its slot is occupied, and the
// table reaches one empty slot past both the last home and the last entry, so every
// probe ends inside the table.
//
// The hash is keyed by fresh random seeds per table, so a file cannot be crafted to
// pile its keys into one probe run. Immutable after Build(); safe to share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/reader/entry_table.h"
#include "core/io/large_buffer.h"
#include "core/same_bytes.h"

namespace kalvex::reader {

class HashIndex {
 public:
  // Positions must fit the slot's 40 bits: the arena may hold up to this many bytes.
  static constexpr std::uint64_t kMaxArenaSize = (std::uint64_t{1} << 40) - 1;
  static constexpr std::uint64_t kNotFound = ~std::uint64_t{0};

  HashIndex() = default;
  HashIndex(HashIndex&&) noexcept = default;
  HashIndex& operator=(HashIndex&&) noexcept = default;

  // Indexes every entry; a key seen again replaces the earlier entry.
  // REQUIRES: entries.arena_size() <= kMaxArenaSize. Throws std::bad_alloc.
  static HashIndex Build(const EntryTable& entries);

  // The arena position of the last entry holding `key`, or kNotFound.
  std::uint64_t Find(const EntryTable& entries, std::span<const std::uint8_t> key) const {
    if (capacity_ == 0) return kNotFound;
    const std::uint64_t hash = HashBytes(key.data(), key.size(), seed_);
    const std::uint64_t tag = Tag(hash);
    const std::uint64_t* slot = slots() + Home(hash);
    for (;; ++slot) {
      const std::uint64_t value = *slot;
      if ((value & kTagMask) == tag) {
        const std::uint64_t position = value & kPositionMask;
        if (SameBytes(format::EntryKey(entries.arena() + position), key)) return position;
      } else if ((value & kTagMask) < tag) {
        return kNotFound;  // a greater hash, or an empty slot: the key would be before it
      }
    }
  }

  std::size_t MemoryUsage() const { return table_.mapped_size(); }

 private:
  static constexpr std::uint64_t kPositionMask = kMaxArenaSize;
  static constexpr std::uint64_t kTagMask = ~kPositionMask;
  static constexpr std::uint64_t kTagPresent = std::uint64_t{1} << 63;

  // The top 23 hash bits, complemented, under the present bit.
  static std::uint64_t Tag(std::uint64_t hash) {
    return ((~hash >> 1) & kTagMask) | kTagPresent;
  }
  // Maps the top 40 hash bits onto [0, capacity), never decreasing as the hash grows.
  std::uint64_t Home(std::uint64_t hash) const {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash >> 24) * capacity_) >> 40);
  }

  std::uint64_t* slots() const { return reinterpret_cast<std::uint64_t*>(table_.data()); }

  // An entry waiting to be placed.
  struct Pending {
    std::uint64_t hash;
    std::uint64_t position;
    // Hash order, and among entries of one hash the table order (arena positions grow
    // with it), so the last entry of a repeated key comes last and wins.
    bool operator<(const Pending& other) const {
      return hash != other.hash ? hash < other.hash : position < other.position;
    }
  };
  // Puts [begin, end), entries whose hashes share their top bits, in hash order.
  void SortRegion(Pending* begin, Pending* end, std::vector<Pending>& scratch,
                  std::vector<std::uint32_t>& home_count) const;

  io::LargeBuffer table_;  // homes [0, capacity_), then the overflow tail and an empty slot
  std::uint64_t capacity_ = 0;
  HashSeed seed_{};
};

}  // namespace kalvex::reader
