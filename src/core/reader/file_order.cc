#include "core/reader/file_order.h"

#include <bit>
#include <span>
#include <utility>

#include "core/reader/reader.h"

namespace kalvex::reader {

namespace {
// 11-bit digits: 2,048 counters stay in the first-level cache, and a file of up to
// 8 GiB sorts in three passes.
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
}  // namespace

template <class OffsetAt>
std::optional<FileOrder> FileOrder::Sorted(std::size_t count, std::uint64_t file_size, OffsetAt offset_at) {
  if (count < 2 || file_size == 0) return std::nullopt;
  const unsigned place_bits = static_cast<unsigned>(std::bit_width(count - 1));
  const unsigned offset_bits = static_cast<unsigned>(std::bit_width(file_size - 1));
  if (place_bits + offset_bits > 64) return std::nullopt;

  std::vector<std::uint64_t> words(count);
  std::uint64_t previous = 0;
  bool ascending = true;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t offset = offset_at(k);
    if (offset >= file_size) return std::nullopt;
    ascending = ascending && offset >= previous;
    previous = offset;
    words[k] = (offset << place_bits) | k;
  }
  if (ascending) return std::nullopt;

  // Every digit's counts in one pass (on the heap: up to six tables of 16 KiB would be a
  // large frame for a thread's stack); a digit on which all words agree moves nothing.
  const unsigned digits = (offset_bits + kDigitBits - 1) / kDigitBits;
  std::vector<std::size_t> counts(std::size_t{digits} * kBuckets);
  for (const std::uint64_t word : words) {
    for (unsigned d = 0; d < digits; ++d) ++counts[d * kBuckets + ((word >> (place_bits + d * kDigitBits)) & (kBuckets - 1))];
  }
  std::vector<std::uint64_t> scratch(count);
  for (unsigned d = 0; d < digits; ++d) {
    const unsigned shift = place_bits + d * kDigitBits;
    const std::span<std::size_t> bucket_start(counts.data() + std::size_t{d} * kBuckets, kBuckets);
    if (bucket_start[(words[0] >> shift) & (kBuckets - 1)] == count) continue;
    std::size_t start = 0;
    for (std::size_t& c : bucket_start) start += std::exchange(c, start);
    for (const std::uint64_t word : words) scratch[bucket_start[(word >> shift) & (kBuckets - 1)]++] = word;
    words.swap(scratch);
  }
  return FileOrder(place_bits, std::move(words));
}

std::optional<FileOrder> FileOrder::Of(const EntryTable& entries, std::size_t first, std::size_t last,
                                       std::uint64_t file_size) {
  return Sorted(last - first, file_size, [&](std::size_t k) { return entries.object_offset_from_end(first + k); });
}

std::optional<FileOrder> FileOrder::Of(std::span<const std::uint64_t> offsets, std::uint64_t file_size) {
  return Sorted(offsets.size(), file_size, [&](std::size_t k) { return offsets[k]; });
}

std::optional<FileOrder> Reader::InFileOrder(std::size_t first, std::size_t last) const {
  if (!mapped_) return FileOrder::Of(entries_, first, last, file_size());
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  keys.reserve(last - first);
  offsets.reserve(last - first);
  if (!ReadEntries(first, last, keys, offsets).ok()) return std::nullopt;
  return FileOrder::Of(offsets, file_size());
}

}  // namespace kalvex::reader
