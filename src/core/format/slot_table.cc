#include "core/format/slot_table.h"

#include <cstring>
#include <utility>

namespace kalvex::format {

namespace {
// Slots beyond the last home that a table is given at first: the overflow tail of a load
// of 0.8 is a few dozen slots, so growing it is almost never needed.
std::uint64_t FirstTail(std::uint64_t capacity) { return capacity / 64 + 64; }
}  // namespace

SlotTable::Builder::Builder(std::size_t n) {
  if (n == 0) return;
  capacity_ = SlotCapacityFor(n);
  // Regions are ranges of the top hash bits, so taking them in order is hash order.
  region_bits_ = static_cast<unsigned>(std::bit_width(capacity_ / kSlotsPerRegion));
  // Large enough to hold the table later (see Finish).
  arrival_buffer_ = io::LargeBuffer(std::max<std::size_t>(n * sizeof(Pending), (capacity_ + FirstTail(capacity_)) * kSlotSize));
  arrivals_ = reinterpret_cast<Pending*>(arrival_buffer_.data());
}

namespace {
// Reorders entries [0, n) of `a` in place so that those of each part lie together, parts
// in order, where `part` maps an entry to [0, parts); part p ends up in [start[p],
// start[p + 1]). A counting pass, then each entry is swapped straight to the next free
// place of its part's range.
template <class Entry, class Part>
void PartitionInPlace(Entry* a, std::size_t n, std::size_t parts, Part part, std::size_t* start) {
  std::fill(start, start + parts + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++start[part(a[i]) + 1];
  for (std::size_t p = 0; p < parts; ++p) start[p + 1] += start[p];
  std::vector<std::size_t> head(start, start + parts);  // each part's first unsettled place
  // One entry swapped in hands back another, whose part is known only once it has been
  // read, so a single chain of swaps waits at every step. Several chains run side by side
  // instead: a hand of entries taken from the part being filled leaves as many holes at
  // its next places, and a hand entry of that part fills one.
  // Invariant: the hand holds as many entries as there are holes.
  constexpr std::size_t kHand = 16;
  Entry hand[kHand];
  for (std::size_t p = 0; p < parts; ++p) {
    while (head[p] < start[p + 1]) {
      std::size_t held = std::min(kHand, start[p + 1] - head[p]);
      std::copy(a + head[p], a + head[p] + held, hand);
      while (held > 0) {
        for (std::size_t j = 0; j < held;) {
          const std::size_t to = part(hand[j]);
          if (to == p) {
            a[head[p]++] = hand[j];
            hand[j] = hand[--held];
          } else {
            // Keeps each part's next places in the cache; within the array, where they end.
            __builtin_prefetch(a + std::min(head[to] + 8, n - 1), 1);
            std::swap(hand[j], a[head[to]++]);
            ++j;
          }
        }
      }
    }
  }
}
}  // namespace

// A copy into per-region buckets would hold every entry twice at the build's peak, so
// the arrivals are grouped in place, in two rounds over the high and then the low half of
// the region bits (64 parts each at 4 million entries): with few parts the places the swaps
// land on stay in the cache, and the second round works on ranges that fit in it. One
// round over thousands of regions waited on memory at every swap, a quarter slower.
void SlotTable::Builder::Group() {
  const unsigned high_bits = (region_bits_ + 1) / 2;
  const unsigned low_bits = region_bits_ - high_bits;
  const std::size_t highs = std::size_t{1} << high_bits;
  const std::size_t lows = std::size_t{1} << low_bits;
  region_start_.assign((highs * lows) + 1, 0);
  std::vector<std::size_t> high_start(highs + 1);
  std::vector<std::size_t> low_start(lows + 1);
  PartitionInPlace(arrivals_, added_, highs, [&](const Pending& p) { return RegionOf(p.hash) >> low_bits; },
                   high_start.data());
  for (std::size_t h = 0; h < highs; ++h) {
    Pending* const range = arrivals_ + high_start[h];
    PartitionInPlace(range, high_start[h + 1] - high_start[h], lows,
                     [&](const Pending& p) { return RegionOf(p.hash) & (lows - 1); }, low_start.data());
    for (std::size_t l = 0; l < lows; ++l) region_start_[h * lows + l] = high_start[h] + low_start[l];
  }
  region_start_.back() = added_;
}

const SlotTable::Builder::Pending* SlotTable::Builder::RegionBegin(std::size_t r) const {
  if (rescued_from_ != 0 && r >= rescued_from_) {
    return rescued_.data() + (region_start_[r] - region_start_[rescued_from_]);
  }
  return arrivals_ + region_start_[r];
}

void SlotTable::Builder::Rescue(std::size_t r) {
  rescued_.assign(arrivals_ + region_start_[r], arrivals_ + added_);
  rescued_from_ = r;
}

void SlotTable::Builder::EnsureSlot(SlotTable& table, std::uint64_t s, std::uint64_t kept) const {
  const std::uint64_t have = table.table_.mapped_size() / kSlotSize;
  if (s < have) return;
  io::LargeBuffer grown((s + 1 + have / 2) * kSlotSize);
  std::memcpy(grown.data(), table.table_.data(), kept * kSlotSize);
  table.table_ = std::move(grown);
}

// A comparison sort of a region's entries cost as much as the rest of the build. Their
// homes lie in a short range of slots, about one entry to a home, so a counting pass by
// home leaves only entries of one home out of order, which an insertion sort then puts
// right in about one step each. The grouping left a region's entries in no particular
// order, so the insertion sort compares places too: of equal hashes the later entry ends last.
void SlotTable::Builder::SortRegion(std::size_t r) {
  const Pending* const begin = RegionBegin(r);
  const Pending* const end = RegionEnd(r);
  const std::size_t count = static_cast<std::size_t>(end - begin);
  scratch_.resize(count);
  if (count == 0) return;
  auto home = [&](const Pending& p) { return SlotHome(p.hash, capacity_); };
  auto for_each = [&](auto visit) {
    for (const Pending* p = begin; p != end; ++p) visit(*p);
  };
  std::uint64_t lowest = ~std::uint64_t{0};
  std::uint64_t highest = 0;
  for_each([&](const Pending& p) {
    lowest = std::min(lowest, home(p));
    highest = std::max(highest, home(p));
  });
  home_count_.assign(highest - lowest + 2, 0);
  for_each([&](const Pending& p) { ++home_count_[home(p) - lowest + 1]; });
  for (std::size_t h = 1; h < home_count_.size(); ++h) home_count_[h] += home_count_[h - 1];
  Pending* const out = scratch_.data();
  for_each([&](const Pending& p) { out[home_count_[home(p) - lowest]++] = p; });
  for (std::size_t i = 1; i < count; ++i) {
    const Pending entry = out[i];
    std::size_t hole = i;
    while (hole != 0 && entry < out[hole - 1]) {
      out[hole] = out[hole - 1];
      --hole;
    }
    out[hole] = entry;
  }
}

}  // namespace kalvex::format
