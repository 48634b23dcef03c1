#include "core/reader/hash_index.h"

#include <new>

#include "core/internal_failure.h"

namespace kalvex::reader {

namespace {
// How far ahead of the insertion the hash of an entry is computed and its home slot
// prefetched. A table of a million keys is larger than the caches, so an insertion
// without it waits for memory each time; 16 keeps enough misses in flight.
constexpr std::size_t kLookahead = 16;
}  // namespace

HashIndex HashIndex::Build(const EntryTable& entries) {
  HashIndex index;
  const std::size_t n = entries.size();
  if (n == 0) return index;
  if (entries.arena_size() > kMaxArenaSize) throw InternalFailure("index arena too large for slots");

  index.seed_ = HashSeed::Fresh();
  index.capacity_ = n + n / 4 + 1;
  // calloc: the zero (empty) pages come straight from the kernel, untouched until used.
  index.slots_.reset(static_cast<std::uint64_t*>(std::calloc(index.capacity_, sizeof(std::uint64_t))));
  if (!index.slots_) throw std::bad_alloc();

  std::uint64_t hashes[kLookahead];
  std::uint64_t positions[kLookahead];
  for (std::size_t i = 0; i < n + kLookahead; ++i) {
    const std::size_t ring = i % kLookahead;
    if (i >= kLookahead) index.Insert(entries, hashes[ring], positions[ring]);
    if (i < n) {
      const std::uint64_t position = entries.Position(i);
      const auto key = entries.KeyAt(position);
      const std::uint64_t hash = HashBytes(key.data(), key.size(), index.seed_);
      __builtin_prefetch(&index.slots_[index.Home(hash)], 1);
      hashes[ring] = hash;
      positions[ring] = position;
    }
  }
  return index;
}

void HashIndex::Insert(const EntryTable& entries, std::uint64_t hash, std::uint64_t position) {
  const std::uint64_t tag = Tag(hash);
  const auto key = entries.KeyAt(position);
  std::uint64_t i = Home(hash);
  for (;;) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) {
      slots_[i] = tag | position;
      return;
    }
    if ((slot & kTagMask) == tag) {
      const auto other = entries.KeyAt(slot & kPositionMask);
      if (other.size() == key.size() &&
          (key.empty() || std::memcmp(other.data(), key.data(), key.size()) == 0)) {
        slots_[i] = tag | position;  // the later entry of a repeated key wins
        return;
      }
    }
    if (++i == capacity_) i = 0;
  }
}

}  // namespace kalvex::reader
