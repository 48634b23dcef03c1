// ObjectAliases: the objects a build leaves out because an earlier object holds the same
// payload, each with that earlier object, its original.
//
// A writer whose payload index has reached its share of the memory budget stores later
// payloads without indexing them (deferred_payloads.h), so a payload added again is stored
// again. A build finds these repeats and writes the store the writer without a budget
// would have written: an alias is never written, a key that names one gets its original's
// offset, and a key reaching an alias reaches its original. An original is never an alias.
//
// One bit per object id says whether it is an alias; the pairs, sorted by alias, find the
// original: 8 bytes per alias. Immutable once made.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace kalvex::writer {

class ObjectAliases {
 public:
  ObjectAliases() = default;
  // `pairs` of (alias, original) ids, in any order, each alias once, every id below
  // `object_count`. May throw std::bad_alloc.
  ObjectAliases(std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs, std::uint64_t object_count);

  bool empty() const { return pairs_.empty(); }
  std::uint64_t size() const { return pairs_.size(); }
  bool IsAlias(std::uint64_t id) const {
    return id / 64 < bits_.size() && ((bits_[id / 64] >> (id % 64)) & 1) != 0;
  }
  // The object whose payload `id`'s payload repeats, or `id` itself when it is no alias.
  std::uint64_t Resolve(std::uint64_t id) const { return IsAlias(id) ? Original(id) : id; }

  // Moves each alias's mark in `reached` (a byte per object id, as KeptObjects::Reached
  // makes it) to its original: no alias stays marked.
  void Fold(std::vector<std::uint8_t>& reached) const;

 private:
  std::uint64_t Original(std::uint64_t alias) const;

  std::vector<std::uint64_t> bits_;  // bit id % 64 of word id / 64: object id is an alias
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs_;  // (alias, original), by alias
};

}  // namespace kalvex::writer
