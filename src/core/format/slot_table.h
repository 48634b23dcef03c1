// SlotTable: keys placed into the hash-ordered slots that mapped_index_layout.h describes.
//
// One placement serves two tables: the reader's in-memory hash index of a file without a
// mapped index, and the mapped index a writer stores in the file. Slots are built here in
// host order; the writer stores each one big-endian.
//
// Entries are put in hash order region by region: first grouped by the top bits of their
// hash (one counting pass, so each region's entries lie together), then each region sorted
// on its own while it sits in the cache (see SortRegion). Then each entry goes to its home,
// or to the slot after the entry before it.
//
// The table covers every home a probe may start at (entries may leave the last homes
// unused) and one empty slot after both the last home and the last entry, where every
// probe stops. Immutable after Build().
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/format/mapped_index_layout.h"
#include "core/io/large_buffer.h"

namespace kalvex::format {

class SlotTable {
 public:
  SlotTable() = default;
  SlotTable(SlotTable&&) noexcept = default;
  SlotTable& operator=(SlotTable&&) noexcept = default;

  // Places n entries. `for_each(visit)` calls visit(hash, place) once for every entry, in
  // ascending place order; it is called twice, so it recomputes rather than stores.
  // `same_key(a, b)` says whether the entries at places a and b hold equal keys; it is
  // asked only of entries whose hashes are equal. Of equal keys the later entry (greater
  // place) takes the slot. REQUIRES: every place <= kMaxSlotPlace. Throws std::bad_alloc.
  template <class ForEach, class SameKey>
  static SlotTable Build(std::size_t n, ForEach for_each, SameKey same_key);

  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t slot_count() const { return slot_count_; }
  std::uint64_t* slots() const { return reinterpret_cast<std::uint64_t*>(table_.data()); }
  std::size_t MemoryUsage() const { return table_.mapped_size(); }

 private:
  // A region's entries have their homes in about this many slots.
  static constexpr std::size_t kSlotsPerRegion = 2048;

  struct Pending {
    std::uint64_t hash;
    std::uint64_t place;
    // Hash order, and among entries of one hash place order, so the last entry of a
    // repeated key comes last and wins.
    bool operator<(const Pending& other) const {
      return hash != other.hash ? hash < other.hash : place < other.place;
    }
  };
  // Puts [begin, end), entries whose hashes share their top bits, in hash order.
  void SortRegion(Pending* begin, Pending* end, std::vector<Pending>& scratch,
                  std::vector<std::uint32_t>& home_count) const;

  io::LargeBuffer table_;
  std::uint64_t capacity_ = 0;
  std::uint64_t slot_count_ = 0;
};

template <class ForEach, class SameKey>
SlotTable SlotTable::Build(std::size_t n, ForEach for_each, SameKey same_key) {
  SlotTable t;
  if (n == 0) return t;
  t.capacity_ = SlotCapacityFor(n);

  // Regions are ranges of the top hash bits, so sorting each one in turn sorts all.
  const unsigned region_bits = std::bit_width(t.capacity_ / kSlotsPerRegion);
  auto region_of = [&](std::uint64_t hash) {
    return region_bits == 0 ? std::uint64_t{0} : hash >> (64 - region_bits);
  };
  std::vector<std::size_t> cursor((std::size_t{1} << region_bits) + 1, 0);
  for_each([&](std::uint64_t hash, std::uint64_t) { ++cursor[region_of(hash) + 1]; });
  for (std::size_t r = 1; r < cursor.size(); ++r) cursor[r] += cursor[r - 1];
  io::LargeBuffer pending_buffer(n * sizeof(Pending));
  auto* pending = reinterpret_cast<Pending*>(pending_buffer.data());
  for_each([&](std::uint64_t hash, std::uint64_t place) {
    pending[cursor[region_of(hash)]++] = Pending{hash, place};
  });
  // Each cursor now marks the end of its region, which is the next region's start.
  std::vector<Pending> scratch;
  std::vector<std::uint32_t> home_count;
  std::size_t begin = 0;
  for (std::size_t r = 0; r + 1 < cursor.size(); ++r) {
    t.SortRegion(pending + begin, pending + cursor[r], scratch, home_count);
    begin = cursor[r];
  }

  // Where each entry goes if no key repeats: its home, or the slot after the entry
  // before it. A repeated key takes no slot of its own, so this bounds the entries' slots.
  std::uint64_t last_entry = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t home = SlotHome(pending[i].hash, t.capacity_);
    last_entry = i == 0 ? home : std::max(home, last_entry + 1);
  }
  t.slot_count_ = std::max(last_entry, t.capacity_ - 1) + 2;
  t.table_ = io::LargeBuffer(t.slot_count_ * sizeof(std::uint64_t));  // all slots empty

  std::uint64_t* const table = t.slots();
  std::uint64_t next = 0;       // the first slot after the entries placed so far
  std::uint64_t run_start = 0;  // the first slot of the entries sharing the last hash
  for (std::size_t i = 0; i < n; ++i) {
    const Pending& entry = pending[i];
    const std::uint64_t slot_value = SlotTag(entry.hash) | entry.place;
    const bool same_hash = i > 0 && entry.hash == pending[i - 1].hash;
    if (same_hash) {
      // Almost always the same key again; otherwise two keys whose hashes agree.
      std::uint64_t s = run_start;
      while (s < next && !same_key(table[s] & kSlotPlaceMask, entry.place)) ++s;
      if (s < next) {
        table[s] = slot_value;  // the later entry of a repeated key wins
        continue;
      }
    }
    const std::uint64_t slot = std::max(SlotHome(entry.hash, t.capacity_), next);
    if (!same_hash) run_start = slot;
    table[slot] = slot_value;
    next = slot + 1;
  }
  return t;
}

}  // namespace kalvex::format
