#include "core/writer/tagged_slots.h"

#include <algorithm>
#include <utility>

namespace kalvex::writer {

namespace {
// Segments from this size on come from io::LargeBuffer: a huge page's worth.
constexpr std::size_t kLargeBytes = std::size_t{2} << 20;
}  // namespace

std::uint64_t TaggedSlots::size() const {
  std::uint64_t words = 0;
  for (const Segment& segment : segments_) words += segment.used;
  return words;
}

std::size_t TaggedSlots::Grown(std::size_t slots, std::size_t words) {
  std::size_t grown = slots < kMinSlots ? kMinSlots : slots + slots / 4;
  while (NeedsGrowth(words, grown)) grown += grown / 4;
  return grown;
}

void TaggedSlots::Grow(std::size_t s, std::size_t more) {
  Segment& old = segments_[s];
  Segment fresh;
  fresh.size = Grown(old.size, old.used + more);
  std::uint64_t fresh_bytes = fresh.size * sizeof(std::uint64_t);
  if (fresh_bytes >= kLargeBytes) {
    fresh.large = io::LargeBuffer(fresh_bytes);  // zero-filled: all empty
    fresh.slots = reinterpret_cast<std::uint64_t*>(fresh.large.data());
    fresh_bytes = fresh.large.mapped_size();
  } else {
    fresh.small.reset(new std::uint64_t[fresh.size]());
    fresh.slots = fresh.small.get();
  }
  // Monotonic homes: the old slots read in order land nearly in order.
  for (std::size_t i = 0; i < old.size; ++i) {
    const std::uint64_t word = old.slots[i];
    if (word == 0) continue;
    std::size_t slot = Home(word, fresh.size);  // the tag is the hash's top bits
    while (fresh.slots[slot] != 0) {
      if (++slot == fresh.size) slot = 0;
    }
    fresh.slots[slot] = word;
  }
  fresh.used = old.used;
  const std::uint64_t old_bytes = old.large.data() != nullptr ? old.large.mapped_size() : old.size * sizeof(std::uint64_t);
  bytes_ = bytes_ - old_bytes + fresh_bytes;
  largest_ = std::max(largest_, fresh.size);
  old = std::move(fresh);
}

}  // namespace kalvex::writer
