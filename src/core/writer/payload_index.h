// PayloadIndex: the object already holding a payload, for writers that store each distinct
// payload once.
//
// Payloads are compared whole, byte for byte, against the copy the writer stored: two
// payloads share an object only when they are equal. The index keeps no copy and no
// location of its own: the writer's object list finds each stored payload from its object
// id. What remains is a hash table of object ids (tagged_slots.h), 11 to 14 bytes per
// object, and one bit per object saying which ones it indexes.
//
// Only adding needs the table: a build releases it (Release) before it takes memory of its
// own, and the next Reserve fills it again by hashing the indexed objects' stored payloads,
// read back in id order as a compare reads them, under the same seed: the index then
// answers as before. Reading the payloads back costs about what growing the writer after a
// build costs anyway (a published spool is copied into a new one).
// Invariant: the table names every indexed object once, or it is released and names none.
//
// Under a memory share the table stops growing: a segment (tagged_slots.h) that would have
// to grow past the share is frozen, and every later payload of its hashes is left to the
// caller unindexed (deferred_payloads.h). Equal payloads share a hash, hence a segment: a
// payload whose segment is frozen can only repeat an indexed one or a deferred one.
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
#include "core/writer/tagged_slots.h"

namespace kalvex::writer {

class PayloadIndex {
 public:
  using Bytes = std::span<const std::uint8_t>;
  // Later objects are simply not indexed.
  static constexpr std::uint64_t kMaxIndexedId = TaggedSlots::kMaxId;

  // `memory_share`: the bytes the index may take (0: no bound).
  explicit PayloadIndex(std::uint64_t memory_share = 0);
  PayloadIndex(const PayloadIndex&) = delete;
  PayloadIndex& operator=(const PayloadIndex&) = delete;

  std::uint64_t Hash(Bytes payload) const { return HashBytes(payload.data(), payload.size(), seed_); }

  // Asks for the memory that Find and Insert of a payload of hash `hash` visit first.
  void Prefetch(std::uint64_t hash) const { table_.Prefetch(hash); }
  // Asks for the stored payload that Find would compare first, if the home slot names one
  // (read here: best after Prefetch has had time to bring it).
  void PrefetchMatch(std::uint64_t hash, const ObjectList& objects) const;

  // The indexed object of `objects` whose payload equals `payload` (of hash `hash`), if any.
  // A released index finds nothing: REQUIRES Reserve since the last Release, as adding does.
  std::optional<std::uint64_t> Find(Bytes payload, std::uint64_t hash, const ObjectList& objects) const;

  // Makes room so that an Insert of object `id` (the next one `objects` adds), of hash
  // `hash`, cannot fail; fills a released table again first. False, with no room made, when
  // the hash's segment is frozen (or freezes now): the object must not be inserted. May
  // throw std::bad_alloc, changing nothing the index answers.
  bool Reserve(std::uint64_t hash, std::uint64_t id, const ObjectList& objects);

  // Indexes object `id`, whose payload (of hash `hash`) the object list has kept.
  // REQUIRES: Reserve(hash, id, ...) since the last Insert, and no indexed object of an
  // equal payload. Does not throw.
  void Insert(std::uint64_t hash, std::uint64_t id) noexcept;

  // Gives back the table's memory until the next Reserve. Does not throw.
  void Release() noexcept;

  // Bytes the table and the bits take.
  std::uint64_t memory_usage() const { return table_.memory_usage() + indexed_.capacity() * sizeof(std::uint64_t); }

 private:
  void Refill(const ObjectList& objects);

  HashSeed seed_;
  TaggedSlots table_;  // ids are object ids
  bool released_ = false;
  std::uint64_t memory_share_;
  std::uint32_t frozen_ = 0;  // bit s: segment s no longer grows
  static_assert(TaggedSlots::kSegments <= 32);
  std::vector<std::uint64_t> indexed_;  // bit id % 64 of word id / 64: object id is indexed
};

}  // namespace kalvex::writer
