#include "core/reader/hash_index.h"

#include "core/internal_failure.h"
#include "core/same_bytes.h"

namespace kalvex::reader {

HashIndex HashIndex::Build(const EntryTable& entries) {
  HashIndex index;
  const std::size_t n = entries.size();
  if (n == 0) return index;
  if (entries.arena_size() > kMaxArenaSize) throw InternalFailure("index arena too large for slots");

  index.seed_ = HashSeed::Fresh();
  // Every entry in table order with its arena position, walking the arena.
  const auto for_each = [&](auto visit) {
    const std::uint8_t* arena = entries.arena();
    std::uint64_t position = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::span<const std::uint8_t> key = format::EntryKey(arena + position);
      visit(HashBytes(key.data(), key.size(), index.seed_), position);
      position += format::EntrySize(key.size());
    }
  };
  const auto same_key = [&](std::uint64_t a, std::uint64_t b) {
    return SameBytes(entries.KeyAt(a), entries.KeyAt(b));
  };
  index.table_ = format::SlotTable::Build(n, for_each, same_key);
  return index;
}

}  // namespace kalvex::reader
