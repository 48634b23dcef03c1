// HashIndex: exact-match lookup from key bytes to an entry of an EntryTable.
//
// Open addressing with linear probing over 64-bit slots, sized once for a load of at
// most 0.8 (10 bytes per key). A slot holds the entry's arena position and a 24-bit
// tag taken from hash bits that the home slot does not use, so a probe passing a
// foreign slot almost never has to read that slot's key from the arena: a hit costs
// about one table cache line and one arena cache line.
//
// Invariant: slot == 0 means empty; otherwise bits 40..63 are the tag (top bit always
// set, so no occupied slot is 0) and bits 0..39 the arena position of the last entry
// holding that key. At least one slot is always empty, so every probe ends.
//
// The hash is keyed by fresh random seeds per table, so a file cannot be crafted to
// pile its keys into one probe run. Immutable after Build(); safe to share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/reader/entry_table.h"
#include "core/io/large_buffer.h"

namespace kalvex::reader {

class HashIndex {
 public:
  // Positions must fit the slot's 40 bits: the arena may hold up to this many bytes.
  static constexpr std::uint64_t kMaxArenaSize = (std::uint64_t{1} << 40) - 1;
  static constexpr std::uint64_t kNotFound = ~std::uint64_t{0};

  HashIndex() = default;
  HashIndex(HashIndex&&) noexcept = default;
  HashIndex& operator=(HashIndex&&) noexcept = default;

  // Inserts every entry in table order; a key seen again replaces the earlier entry.
  // REQUIRES: entries.arena_size() <= kMaxArenaSize. Throws std::bad_alloc.
  static HashIndex Build(const EntryTable& entries);

  // The arena position of the last entry holding `key`, or kNotFound.
  std::uint64_t Find(const EntryTable& entries, std::span<const std::uint8_t> key) const {
    if (capacity_ == 0) return kNotFound;
    const std::uint64_t hash = HashBytes(key.data(), key.size(), seed_);
    const std::uint64_t tag = Tag(hash);
    const std::uint8_t* arena = entries.arena();
    const std::uint64_t* table = slots();
    std::uint64_t i = Home(hash);
    for (;;) {
      const std::uint64_t slot = table[i];
      if (slot == 0) return kNotFound;
      if ((slot & kTagMask) == tag) {
        const std::uint64_t position = slot & kPositionMask;
        const std::span<const std::uint8_t> stored = format::EntryKey(arena + position);
        if (stored.size() == key.size() &&
            (key.empty() || std::memcmp(stored.data(), key.data(), key.size()) == 0)) {
          return position;
        }
      }
      if (++i == capacity_) i = 0;
    }
  }

  std::size_t MemoryUsage() const { return table_.mapped_size(); }

 private:
  static constexpr std::uint64_t kPositionMask = kMaxArenaSize;
  static constexpr std::uint64_t kTagMask = ~kPositionMask;
  static constexpr std::uint64_t kTagPresent = std::uint64_t{1} << 63;

  static std::uint64_t Tag(std::uint64_t hash) { return (hash & kTagMask) | kTagPresent; }
  // Maps the low 40 hash bits (those the tag leaves alone) onto [0, capacity).
  std::uint64_t Home(std::uint64_t hash) const {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash & kPositionMask) * capacity_) >> 40);
  }
  void Insert(const EntryTable& entries, std::uint64_t hash, std::uint64_t position);

  std::uint64_t* slots() const { return reinterpret_cast<std::uint64_t*>(table_.data()); }

  io::LargeBuffer table_;  // capacity_ slots
  std::uint64_t capacity_ = 0;
  HashSeed seed_{};
};

}  // namespace kalvex::reader
