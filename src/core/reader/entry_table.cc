#include "core/reader/entry_table.h"

#include <algorithm>
#include <cstring>

#include "core/format/layout.h"
#include "core/internal_failure.h"

namespace kalvex::reader {

Result<EntryTable> EntryTable::Parse(const std::uint8_t* file, std::uint64_t size,
                                     std::uint64_t start, std::uint32_t count) {
  EntryTable table;
  if (count == 0) return table;

  // Every entry takes at least kEntryOverhead bytes, so the file bounds how many can follow
  // `start`; the header's count alone is not trusted for a reservation.
  const std::uint64_t room = start <= size ? size - start : 0;
  const std::uint64_t reservable = std::min<std::uint64_t>(count, room / format::kEntryOverhead);
  table.low_position_ = io::LargeBuffer(reservable * sizeof(std::uint32_t));
  auto* low_position = reinterpret_cast<std::uint32_t*>(table.low_position_.data());
  table.block_base_.reserve((reservable >> kBlockShift) + 1);

  std::uint64_t p = start;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (p > size || size - p < format::kEntryKeyLengthSize) {
      return StoreError::Corrupt("index section truncated (key_len)");
    }
    const std::uint64_t entry_size = format::EntrySize(format::EntryKeyLength(file + p));
    if (size - p < entry_size) {
      return StoreError::Corrupt("index section truncated (key + offset)");
    }
    // Each entry before this one used at least kEntryOverhead bytes and so does this one, so
    // the reservation holds it; the check guards the write should that ever be false.
    if (i >= reservable) throw InternalFailure("index entry beyond the reserved count");
    const std::uint64_t position = p - start;
    if ((i & ((1u << kBlockShift) - 1)) == 0) table.block_base_.push_back(position);
    low_position[i] = static_cast<std::uint32_t>(position);
    p += entry_size;
  }

  // The parsed entries are contiguous in the file: one copy brings them all over.
  table.arena_size_ = p - start;
  table.arena_ = io::LargeBuffer(table.arena_size_);
  std::memcpy(table.arena_.data(), file + start, table.arena_size_);
  table.count_ = count;
  return table;
}

std::size_t EntryTable::MemoryUsage() const {
  return arena_.mapped_size() + low_position_.mapped_size() +
         block_base_.capacity() * sizeof(std::uint64_t);
}

}  // namespace kalvex::reader
