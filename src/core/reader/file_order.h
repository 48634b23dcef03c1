// FileOrder: the entries of a range, ordered by where their objects lie in the file.
//
// A listing builds one payload copy per entry. Keys are listed in index order, while the
// objects lie in the order they were added, so in index order every copy reads the file
// at random; in a store much larger than the caches nearly each one waits on memory, and
// on a page translation as well (the mapping is in 4 KiB pages). Taken in file order, the
// same copies read the data section front to back, which the hardware fetches ahead.
//
// The order comes from a least-significant-digit radix sort of one word per entry: the
// object offset above the entry's place in the range. The sort is stable and the places
// start ascending, so entries sharing an object stay in index order.
//
// Offsets come from the file and are not trusted: an offset at or past the file's end
// leaves the range without a file order, and the caller reads it in index order, where
// the fetch reports the damage as it always does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/reader/entry_table.h"

namespace kalvex::reader {

class FileOrder {
 public:
  // Entries [first, last) of `entries` by ascending object offset, or nullopt when index
  // order reads the file front to back already (nothing to gain), when an offset lies
  // at or past `file_size`, or when offset and place cannot share a 64-bit word (a file
  // past 2^(64 - bits of the range's size) bytes). Throws std::bad_alloc.
  static std::optional<FileOrder> Of(const EntryTable& entries, std::size_t first, std::size_t last,
                                     std::uint64_t file_size);
  // The same for a range whose object offsets were read already, offsets[k] the k-th's.
  static std::optional<FileOrder> Of(std::span<const std::uint64_t> offsets, std::uint64_t file_size);

  std::size_t size() const { return words_.size(); }
  // The k-th entry in file order: its place in the range (its index position - first),
  // and its object offset.
  std::size_t place(std::size_t k) const { return static_cast<std::size_t>(words_[k] & place_mask_); }
  std::uint64_t offset(std::size_t k) const { return words_[k] >> place_bits_; }

 private:
  // The sort over `count` entries whose k-th object offset is offset_at(k).
  template <class OffsetAt>
  static std::optional<FileOrder> Sorted(std::size_t count, std::uint64_t file_size, OffsetAt offset_at);

  FileOrder(unsigned place_bits, std::vector<std::uint64_t> words)
      : place_bits_(place_bits), place_mask_((std::uint64_t{1} << place_bits) - 1), words_(std::move(words)) {}

  unsigned place_bits_;
  std::uint64_t place_mask_;
  std::vector<std::uint64_t> words_;
};

}  // namespace kalvex::reader
