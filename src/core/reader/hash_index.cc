#include "core/reader/hash_index.h"

#include <algorithm>
#include <bit>
#include <new>
#include <vector>

#include "core/internal_failure.h"
#include "core/same_bytes.h"

namespace kalvex::reader {

namespace {

// Entries are put in hash order region by region: first grouped by the top bits of
// their hash (one counting pass, so each region's entries lie together), then each
// region sorted on its own while it sits in the cache. A region's entries have their
// homes in about this many slots.
constexpr std::size_t kSlotsPerRegion = 2048;

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

bool SameKey(const EntryTable& entries, std::uint64_t a, std::uint64_t b) {
  return SameBytes(entries.KeyAt(a), entries.KeyAt(b));
}

}  // namespace

HashIndex HashIndex::Build(const EntryTable& entries) {
  HashIndex index;
  const std::size_t n = entries.size();
  if (n == 0) return index;
  if (entries.arena_size() > kMaxArenaSize) throw InternalFailure("index arena too large for slots");

  index.seed_ = HashSeed::Fresh();
  index.capacity_ = n + n / 4 + 1;
  auto hash_of = [&](std::span<const std::uint8_t> key) {
    return HashBytes(key.data(), key.size(), index.seed_);
  };

  // Regions are ranges of the top hash bits, so sorting each one in turn sorts all.
  const unsigned region_bits = std::bit_width(index.capacity_ / kSlotsPerRegion);
  auto region_of = [&](std::uint64_t hash) {
    return region_bits == 0 ? std::uint64_t{0} : hash >> (64 - region_bits);
  };
  std::vector<std::size_t> cursor((std::size_t{1} << region_bits) + 1, 0);
  ForEachEntry(entries, [&](std::uint64_t, std::span<const std::uint8_t> key) {
    ++cursor[region_of(hash_of(key)) + 1];
  });
  for (std::size_t r = 1; r < cursor.size(); ++r) cursor[r] += cursor[r - 1];
  io::LargeBuffer pending_buffer(n * sizeof(Pending));
  auto* pending = reinterpret_cast<Pending*>(pending_buffer.data());
  ForEachEntry(entries, [&](std::uint64_t position, std::span<const std::uint8_t> key) {
    const std::uint64_t hash = hash_of(key);
    pending[cursor[region_of(hash)]++] = Pending{hash, position};
  });
  // Each cursor now marks the end of its region, which is the next region's start.
  std::vector<Pending> scratch;
  std::vector<std::uint32_t> home_count;
  std::size_t begin = 0;
  for (std::size_t r = 0; r + 1 < cursor.size(); ++r) {
    index.SortRegion(pending + begin, pending + cursor[r], scratch, home_count);
    begin = cursor[r];
  }

  // Where each entry goes if no key repeats: its home, or the slot after the entry
  // before it. A repeated key takes no slot of its own, so this bounds the entries' slots.
  // The table covers every home a probe may start at as well (entries may leave the last
  // homes unused), and one empty slot after both, where every probe stops.
  std::uint64_t last_entry = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t home = index.Home(pending[i].hash);
    last_entry = i == 0 ? home : std::max(home, last_entry + 1);
  }
  const std::uint64_t last = std::max(last_entry, index.capacity_ - 1);
  index.table_ = io::LargeBuffer((last + 2) * sizeof(std::uint64_t));  // all slots empty

  std::uint64_t* const table = index.slots();
  std::uint64_t next = 0;       // the first slot after the entries placed so far
  std::uint64_t run_start = 0;  // the first slot of the entries sharing the last hash
  for (std::size_t i = 0; i < n; ++i) {
    const Pending& entry = pending[i];
    const std::uint64_t slot_value = Tag(entry.hash) | entry.position;
    const bool same_hash = i > 0 && entry.hash == pending[i - 1].hash;
    if (same_hash) {
      // Almost always the same key again; otherwise two keys whose hashes agree.
      std::uint64_t s = run_start;
      while (s < next && !SameKey(entries, table[s] & kPositionMask, entry.position)) ++s;
      if (s < next) {
        table[s] = slot_value;  // the later entry of a repeated key wins
        continue;
      }
    }
    const std::uint64_t slot = std::max(index.Home(entry.hash), next);
    if (!same_hash) run_start = slot;
    table[slot] = slot_value;
    next = slot + 1;
  }
  return index;
}

// A comparison sort of a region's entries cost as much as the rest of the build. Their
// homes lie in a short range of slots, about one entry to a home, so a counting pass by
// home leaves only entries of one home out of order, which an insertion sort then puts
// right in about one step each. Both passes keep equal entries in table order.
void HashIndex::SortRegion(Pending* begin, Pending* end, std::vector<Pending>& scratch,
                           std::vector<std::uint32_t>& home_count) const {
  if (end - begin < 2) return;
  std::uint64_t lowest = Home(begin->hash);
  std::uint64_t highest = lowest;
  for (const Pending* p = begin; p != end; ++p) {
    lowest = std::min(lowest, Home(p->hash));
    highest = std::max(highest, Home(p->hash));
  }
  home_count.assign(highest - lowest + 2, 0);
  for (const Pending* p = begin; p != end; ++p) ++home_count[Home(p->hash) - lowest + 1];
  for (std::size_t h = 1; h < home_count.size(); ++h) home_count[h] += home_count[h - 1];
  scratch.resize(static_cast<std::size_t>(end - begin));
  for (const Pending* p = begin; p != end; ++p) scratch[home_count[Home(p->hash) - lowest]++] = *p;

  Pending* out = begin;
  for (const Pending& entry : scratch) {
    Pending* hole = out++;
    while (hole != begin && entry < hole[-1]) {
      *hole = hole[-1];
      --hole;
    }
    *hole = entry;
  }
}

}  // namespace kalvex::reader
