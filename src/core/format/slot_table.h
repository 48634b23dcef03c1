// SlotTable: keys placed into the hash-ordered slots that mapped_index_layout.h describes.
//
// One placement serves two tables: the reader's in-memory hash index of a file without a
// mapped index, and the mapped index a writer stores in the file. Slots are stored
// big-endian, as the file holds them, so the writer hands its table to the file as it is
// and both readers decode a slot the same way.
//
// Entries arrive one at a time (Builder::Add), from the pass that already walks the
// keys, and are only recorded there: that pass waits on keys lying at random in memory,
// and any more work in it (even a store whose address depends on the hash) costs more
// than a pass of its own. Finish groups them by region (the top bits of the hash, so that
// regions in order are hash order), puts each region in hash order while it sits in the
// cache (see SortRegion) and places its entries at once: each at its home, or at the slot
// after the entry before it.
//
// The arrivals are the builder's only large buffer, and it becomes the table: the grouping
// swaps entries within it, and the slots, 8 bytes where an arrival takes 16, are written
// over arrivals already taken into the cache. Region r's slots lie near 10 bytes per entry
// into the buffer, the later regions' arrivals from 16 bytes per entry on, so the writes
// stay behind the reads by a wide margin; a slot about to reach an unread arrival first
// moves the rest of the arrivals aside (Rescue), which random hashes all but never cause.
// The build's peak is then the arrivals alone beside everything the writer holds.
//
// The table covers every home a probe may start at (entries may leave the last homes
// unused) and one empty slot after both the last home and the last entry, where every
// probe stops. Immutable after Finish().
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/format/endian.h"
#include "core/format/mapped_index_layout.h"
#include "core/io/large_buffer.h"

namespace kalvex::format {

class SlotTable {
 public:
  class Builder;

  SlotTable() = default;
  SlotTable(SlotTable&&) noexcept = default;
  SlotTable& operator=(SlotTable&&) noexcept = default;

  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t slot_count() const { return slot_count_; }
  // The slots, big-endian: slot_count() * kSlotSize bytes.
  const std::uint8_t* bytes() const { return table_.data(); }
  std::uint64_t slot(std::uint64_t s) const { return LoadBe64(table_.data() + s * kSlotSize); }
  std::size_t MemoryUsage() const { return table_.mapped_size(); }

 private:
  io::LargeBuffer table_;
  std::uint64_t capacity_ = 0;
  std::uint64_t slot_count_ = 0;
};

class SlotTable::Builder {
 public:
  // Room for n entries. Throws std::bad_alloc.
  explicit Builder(std::size_t n);
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  // REQUIRES: places ascend from call to call, place <= kMaxSlotPlace, at most n calls.
  void Add(std::uint64_t hash, std::uint64_t place) { arrivals_[added_++] = Pending{hash, place}; }

  // Places every entry added. `same_key(a, b)` says whether the entries at places a and b
  // hold equal keys; it is asked only of entries whose hashes are equal. Of equal keys
  // the later entry (greater place) takes the slot. Throws std::bad_alloc.
  template <class SameKey>
  SlotTable Finish(SameKey same_key);

 private:
  // A region's entries have their homes in about this many slots: its entries, and the
  // counts by home that sort them, stay in the L2 cache.
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

  std::size_t RegionOf(std::uint64_t hash) const {
    return region_bits_ == 0 ? 0 : static_cast<std::size_t>(hash >> (64 - region_bits_));
  }
  // Reorders the arrivals in place so that each region's lie together, regions in order,
  // and records where each region starts.
  void Group();
  // Region r's arrivals, wherever they lie now.
  const Pending* RegionBegin(std::size_t r) const;
  const Pending* RegionEnd(std::size_t r) const { return RegionBegin(r) + (region_start_[r + 1] - region_start_[r]); }
  // Copies the arrivals of regions r and on out of the buffer that becomes the table.
  void Rescue(std::size_t r);
  // Puts region r's entries into scratch_ in hash order.
  void SortRegion(std::size_t r);
  // Room for slots [0, s] in table, keeping its first `kept` slots: grows it, rarely (the
  // overflow past the last home is short). REQUIRES: no unread arrival in the table.
  void EnsureSlot(SlotTable& table, std::uint64_t s, std::uint64_t kept) const;

  std::uint64_t capacity_ = 0;
  unsigned region_bits_ = 0;
  io::LargeBuffer arrival_buffer_;
  Pending* arrivals_ = nullptr;  // stays valid when the buffer moves into the table
  std::size_t added_ = 0;
  std::vector<std::size_t> region_start_;  // arrivals before each region, then all of them
  std::vector<Pending> rescued_;           // the arrivals from region rescued_from_ on
  std::size_t rescued_from_ = 0;           // 0 while nothing is rescued
  std::vector<Pending> scratch_;
  std::vector<std::uint32_t> home_count_;
};

template <class SameKey>
SlotTable SlotTable::Builder::Finish(SameKey same_key) {
  SlotTable t;
  if (capacity_ == 0) return t;
  t.capacity_ = capacity_;
  Group();
  // The arrivals leave their memory to the table: fresh pages cost a fault and a clearing
  // each, as much as the rest of the placement. Slots that no entry takes are cleared as
  // the placement passes them.
  t.table_ = std::move(arrival_buffer_);
  std::uint64_t next = 0;       // the first slot after the entries placed so far
  std::uint64_t run_start = 0;  // the first slot of the entries sharing the last hash
  std::uint64_t last_hash = 0;
  bool any = false;
  const std::size_t regions = region_start_.size() - 1;
  std::size_t r = 0;  // the region being placed
  // The slots from here on may still hold arrivals of later regions.
  std::uint64_t unread = 0;
  const auto clear_up_to = [&](std::uint64_t slot) {
    if (slot > unread) {
      Rescue(r + 1);
      unread = ~std::uint64_t{0};
    }
    EnsureSlot(t, slot, next);
    if (slot > next) std::memset(t.table_.data() + next * kSlotSize, 0, (slot - next) * kSlotSize);
  };
  for (; r < regions; ++r) {
    SortRegion(r);  // region r's arrivals are in scratch_ now
    const bool later_unread = r + 1 < regions && rescued_from_ == 0;
    unread = later_unread ? region_start_[r + 1] * sizeof(Pending) / kSlotSize : ~std::uint64_t{0};
    for (const Pending& entry : scratch_) {
      const std::uint64_t slot_value = SlotTag(entry.hash) | entry.place;
      const bool same_hash = any && entry.hash == last_hash;
      if (same_hash) {
        // Almost always the same key again; otherwise two keys whose hashes agree.
        std::uint64_t s = run_start;
        while (s < next && !same_key(t.slot(s) & kSlotPlaceMask, entry.place)) ++s;
        if (s < next) {
          StoreBe64(t.table_.data() + s * kSlotSize, slot_value);  // the later entry wins
          continue;
        }
      }
      const std::uint64_t slot = std::max(SlotHome(entry.hash, capacity_), next);
      clear_up_to(slot + 1);
      if (!same_hash) run_start = slot;
      StoreBe64(t.table_.data() + slot * kSlotSize, slot_value);
      next = slot + 1;
      last_hash = entry.hash;
      any = true;
    }
  }
  t.slot_count_ = std::max(next, capacity_) + 1;
  clear_up_to(t.slot_count_);
  t.table_.Shrink(t.slot_count_ * kSlotSize);
  return t;
}

}  // namespace kalvex::format
