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

// One counting pass, then each arrival is swapped straight to the next free place of its
// region's range. A copy into per-region buckets would be as fast but would hold every
// entry twice at the build's peak.
void SlotTable::Builder::Group() {
  const std::size_t regions = std::size_t{1} << region_bits_;
  region_start_.assign(regions + 1, 0);
  for (std::size_t i = 0; i < added_; ++i) ++region_start_[RegionOf(arrivals_[i].hash) + 1];
  for (std::size_t r = 0; r < regions; ++r) region_start_[r + 1] += region_start_[r];
  std::vector<std::size_t> head(region_start_.begin(), region_start_.end() - 1);  // first unsettled
  for (std::size_t r = 0; r < regions; ++r) {
    const std::size_t end = region_start_[r + 1];
    while (head[r] < end) {
      Pending entry = arrivals_[head[r]];
      // Each swap settles one entry in its own region and picks up the one it displaced.
      for (std::size_t home = RegionOf(entry.hash); home != r; home = RegionOf(entry.hash)) {
        std::swap(entry, arrivals_[head[home]++]);
      }
      arrivals_[head[r]++] = entry;
    }
  }
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
