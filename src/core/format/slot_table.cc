#include "core/format/slot_table.h"

namespace kalvex::format {

// A comparison sort of a region's entries cost as much as the rest of the build. Their
// homes lie in a short range of slots, about one entry to a home, so a counting pass by
// home leaves only entries of one home out of order, which an insertion sort then puts
// right in about one step each. Both passes keep equal entries in place order.
void SlotTable::SortRegion(Pending* begin, Pending* end, std::vector<Pending>& scratch,
                           std::vector<std::uint32_t>& home_count) const {
  if (end - begin < 2) return;
  auto home = [&](const Pending& p) { return SlotHome(p.hash, capacity_); };
  std::uint64_t lowest = home(*begin);
  std::uint64_t highest = lowest;
  for (const Pending* p = begin; p != end; ++p) {
    lowest = std::min(lowest, home(*p));
    highest = std::max(highest, home(*p));
  }
  home_count.assign(highest - lowest + 2, 0);
  for (const Pending* p = begin; p != end; ++p) ++home_count[home(*p) - lowest + 1];
  for (std::size_t h = 1; h < home_count.size(); ++h) home_count[h] += home_count[h - 1];
  scratch.resize(static_cast<std::size_t>(end - begin));
  for (const Pending* p = begin; p != end; ++p) scratch[home_count[home(*p) - lowest]++] = *p;

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

}  // namespace kalvex::format
