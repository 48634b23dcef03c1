#include "core/reader/offset_set.h"

#include <algorithm>
#include <bit>

namespace kalvex::reader {

OffsetSet::OffsetSet(std::size_t expected) : seed_(HashSeed::Fresh()) {
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * expected, 16));
  slots_ = std::make_unique_for_overwrite<std::uint64_t[]>(capacity);
  std::fill_n(slots_.get(), capacity, kEmpty);
  mask_ = capacity - 1;
}

}  // namespace kalvex::reader
