// PayloadIndex: the object already holding a payload, for writers that store each distinct
// payload once.
//
// Payloads are compared whole, byte for byte, against the copy the writer stored: two
// payloads share an object only when they are equal. The index keeps no copy and no
// location of its own: the writer's object list finds each stored payload from its object
// id. What remains is an open-addressing table over object ids, 8 bytes per slot: 11 to 22
// bytes per object.
//
// Slot layout: one 64-bit word, the high 32 bits of the payload's keyed hash above the
// object id plus one; zero marks an empty slot. The stored hash bits let a probe skip most
// non-matching slots without touching the payload. The home slot is the hash's top bits
// as well, so up to 2^32 slots a growing table finds each word's new home in the word
// itself: rehashing every payload waited on memory twice per object (its place in the
// storage, then its bytes), at random, on each doubling.
// Invariant: at most three quarters of the slots are full, so a probe always ends.
//
// Not thread-safe. Copying is deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/format/keyed_hash.h"
#include "core/writer/object_list.h"

namespace kalvex::writer {

class PayloadIndex {
 public:
  using Bytes = std::span<const std::uint8_t>;
  // Slots hold the object id plus one in 32 bits; later objects are simply not indexed.
  static constexpr std::uint64_t kMaxIndexedId = 0xFFFFFFFEu;

  PayloadIndex();
  PayloadIndex(const PayloadIndex&) = delete;
  PayloadIndex& operator=(const PayloadIndex&) = delete;

  std::uint64_t Hash(Bytes payload) const { return HashBytes(payload.data(), payload.size(), seed_); }

  // Asks for the memory that Find and Insert of a payload of hash `hash` visit first.
  void Prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[Home(hash)]); }
  // Asks for the stored payload that Find would compare first, if the home slot names one
  // (read here: best after Prefetch has had time to bring it).
  void PrefetchMatch(std::uint64_t hash, const ObjectList& objects) const;

  // The indexed object of `objects` whose payload equals `payload` (of hash `hash`), if any.
  std::optional<std::uint64_t> Find(Bytes payload, std::uint64_t hash, const ObjectList& objects) const;

  // Makes room so that the next Insert cannot fail. May throw std::bad_alloc, changing
  // nothing the index answers.
  void Reserve(const ObjectList& objects);

  // Indexes object `id`, whose payload (of hash `hash`) the object list has kept.
  // REQUIRES: Reserve since the last Insert, and no indexed object of an equal payload.
  // Does not throw.
  void Insert(std::uint64_t hash, std::uint64_t id) noexcept;

 private:
  void Grow(const ObjectList& objects);
  std::size_t Home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }

  HashSeed seed_;
  std::vector<std::uint64_t> slots_;
  unsigned shift_;  // 64 - log2(slot count): a hash shifted by it is a home slot
  std::size_t count_ = 0;
};

}  // namespace kalvex::writer
