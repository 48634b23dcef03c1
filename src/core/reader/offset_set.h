// OffsetSet: the set of object offsets already visited during one walk of the offset
// list, so that each distinct object is handled once.
//
// Open addressing with linear probing, a power-of-two table sized once for the walk's
// length at a load of at most 0.5. Offsets come from the file, so the slot hash is
// keyed by a fresh random seed: a file cannot line its offsets up into one long run.
//
// Invariant: a slot holding kEmpty is free. The one offset equal to kEmpty is tracked
// by a flag beside the table instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/format/keyed_hash.h"

namespace kalvex::reader {

class OffsetSet {
 public:
  // Room for `expected` distinct offsets. Throws std::bad_alloc.
  explicit OffsetSet(std::size_t expected);

  // Adds `offset`; true if it was not there before.
  bool Insert(std::uint64_t offset) {
    if (offset == kEmpty) return !std::exchange(has_empty_value_, true);
    std::size_t i = Home(offset);
    for (;;) {
      const std::uint64_t slot = slots_[i];
      if (slot == offset) return false;
      if (slot == kEmpty) {
        slots_[i] = offset;
        return true;
      }
      i = (i + 1) & mask_;
    }
  }

  // Starts loading the slot that Insert(offset) will look at first. A walk over a
  // large set waits on memory at nearly every insertion; asking a few offsets ahead
  // overlaps those waits.
  void Prefetch(std::uint64_t offset) const { __builtin_prefetch(&slots_[Home(offset)], 1); }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  std::size_t Home(std::uint64_t offset) const {
    return hash_detail::FoldedMultiply(offset ^ seed_.k0, seed_.k1) & mask_;
  }

  std::unique_ptr<std::uint64_t[]> slots_;
  std::size_t mask_ = 0;
  HashSeed seed_;
  bool has_empty_value_ = false;
};

}  // namespace kalvex::reader
