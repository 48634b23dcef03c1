#include "core/format/slot_table.h"

#include <cmath>
#include <cstring>

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
  const std::size_t regions = std::size_t{1} << region_bits_;
  // The hash is keyed by a seed the keys' author does not know, so a region's count is
  // binomial: four standard deviations over the mean leave a bucket full about once in
  // 30,000 regions, and those few entries take the slower spill list.
  const std::size_t mean = (n + regions - 1) / regions;
  bucket_size_ = mean + static_cast<std::size_t>(4 * std::sqrt(static_cast<double>(mean))) + 16;
  // Large enough to hold the table later (see Finish).
  arrival_buffer_ = io::LargeBuffer(std::max<std::size_t>(n * sizeof(Pending), (capacity_ + FirstTail(capacity_)) * kSlotSize));
  arrivals_ = reinterpret_cast<Pending*>(arrival_buffer_.data());
  bucket_buffer_ = io::LargeBuffer(regions * bucket_size_ * sizeof(Pending));
  buckets_ = reinterpret_cast<Pending*>(bucket_buffer_.data());
  fill_.assign(regions, 0);
}

void SlotTable::Builder::Scatter() {
  for (std::size_t i = 0; i < added_; ++i) {
    const Pending& p = arrivals_[i];
    const std::size_t region = RegionOf(p.hash);
    const std::size_t at = fill_[region]++;
    if (at < bucket_size_) [[likely]] {
      buckets_[region * bucket_size_ + at] = p;
    } else {
      fill_[region] = static_cast<std::uint32_t>(bucket_size_);
      spill_.push_back(p);
    }
  }
  // Spilled entries come in place order; a stable sort by region keeps it within each.
  std::stable_sort(spill_.begin(), spill_.end(),
                   [&](const Pending& a, const Pending& b) { return RegionOf(a.hash) < RegionOf(b.hash); });
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
// right in about one step each. Both passes keep equal entries in place order.
void SlotTable::Builder::SortRegion(std::size_t r, const Pending* spill_begin, const Pending* spill_end) {
  const Pending* const bucket = buckets_ + r * bucket_size_;
  const std::size_t in_bucket = fill_[r];
  const std::size_t count = in_bucket + static_cast<std::size_t>(spill_end - spill_begin);
  scratch_.resize(count);
  if (count == 0) return;
  auto home = [&](const Pending& p) { return SlotHome(p.hash, capacity_); };
  auto for_each = [&](auto visit) {
    for (std::size_t i = 0; i < in_bucket; ++i) visit(bucket[i]);
    for (const Pending* p = spill_begin; p != spill_end; ++p) visit(*p);
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
