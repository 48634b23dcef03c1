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
  format::SlotTable::Builder builder(n);
  const std::uint8_t* arena = entries.arena();
  std::uint64_t position = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const std::uint8_t> key = format::EntryKey(arena + position);
    builder.Add(HashBytes(key.data(), key.size(), index.seed_), position);
    position += format::EntrySize(key.size());
  }
  index.table_ = builder.Finish([&](std::uint64_t a, std::uint64_t b) {
    return SameBytes(entries.KeyAt(a), entries.KeyAt(b));
  });
  return index;
}

}  // namespace kalvex::reader
