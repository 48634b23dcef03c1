#include "core/reader/hash_index.h"

#include <bit>
#include <new>
#include <vector>

#include "core/internal_failure.h"

namespace kalvex::reader {

namespace {

// Below this many keys the table fits in the caches and entries go straight in.
constexpr std::size_t kDirectInsertLimit = std::size_t{1} << 15;
// Larger tables are filled one region at a time: entries are first grouped by the
// region of the table their home slot lies in, so each region is filled while it
// sits in the cache instead of every insertion waiting for memory. A region holds
// about this many slots (32 KiB).
constexpr std::size_t kSlotsPerRegion = 4096;

struct Pending {
  std::uint64_t hash;
  std::uint64_t position;
};

// Visits every entry in table order with its arena position, walking the arena.
template <class Visit>
void ForEachEntry(const EntryTable& entries, Visit visit) {
  const std::uint8_t* arena = entries.arena();
  std::uint64_t position = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::span<const std::uint8_t> key = format::EntryKey(arena + position);
    visit(position, key);
    position += format::EntrySize(key.size());
  }
}

}  // namespace

HashIndex HashIndex::Build(const EntryTable& entries) {
  HashIndex index;
  const std::size_t n = entries.size();
  if (n == 0) return index;
  if (entries.arena_size() > kMaxArenaSize) throw InternalFailure("index arena too large for slots");

  index.seed_ = HashSeed::Fresh();
  index.capacity_ = n + n / 4 + 1;
  index.table_ = io::LargeBuffer(index.capacity_ * sizeof(std::uint64_t));  // all slots empty
  auto hash_of = [&](std::span<const std::uint8_t> key) {
    return HashBytes(key.data(), key.size(), index.seed_);
  };

  if (n < kDirectInsertLimit) {
    ForEachEntry(entries, [&](std::uint64_t position, std::span<const std::uint8_t> key) {
      index.Insert(entries, hash_of(key), position);
    });
    return index;
  }

  // Regions are ranges of the low 40 hash bits, so home slots grow with the region
  // number and a region's homes are contiguous in the table.
  const unsigned region_bits = std::bit_width(index.capacity_ / kSlotsPerRegion);
  const unsigned region_shift = 40 - region_bits;
  auto region_of = [&](std::uint64_t hash) { return (hash & kPositionMask) >> region_shift; };

  std::vector<std::size_t> cursor((std::size_t{1} << region_bits) + 1, 0);
  ForEachEntry(entries, [&](std::uint64_t, std::span<const std::uint8_t> key) {
    ++cursor[region_of(hash_of(key)) + 1];
  });
  for (std::size_t r = 1; r < cursor.size(); ++r) cursor[r] += cursor[r - 1];

  // The grouping is stable, so a repeated key (same hash, same region) is still
  // inserted in table order and its last entry wins.
  io::LargeBuffer pending_buffer(n * sizeof(Pending));
  auto* pending = reinterpret_cast<Pending*>(pending_buffer.data());
  ForEachEntry(entries, [&](std::uint64_t position, std::span<const std::uint8_t> key) {
    const std::uint64_t hash = hash_of(key);
    pending[cursor[region_of(hash)]++] = Pending{hash, position};
  });
  for (std::size_t i = 0; i < n; ++i) index.Insert(entries, pending[i].hash, pending[i].position);
  return index;
}

void HashIndex::Insert(const EntryTable& entries, std::uint64_t hash, std::uint64_t position) {
  const std::uint64_t tag = Tag(hash);
  std::uint64_t i = Home(hash);
  for (;;) {
    std::uint64_t* const table = slots();
    const std::uint64_t slot = table[i];
    if (slot == 0) {
      table[i] = tag | position;
      return;
    }
    if ((slot & kTagMask) == tag) {
      // Only now read the keys: the grouped insertion order is random in the arena.
      const auto key = entries.KeyAt(position);
      const auto other = entries.KeyAt(slot & kPositionMask);
      if (other.size() == key.size() &&
          (key.empty() || std::memcmp(other.data(), key.data(), key.size()) == 0)) {
        table[i] = tag | position;  // the later entry of a repeated key wins
        return;
      }
    }
    if (++i == capacity_) i = 0;
  }
}

}  // namespace kalvex::reader
