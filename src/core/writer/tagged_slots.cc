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

std::size_t TaggedSlots::Grown(std::size_t s, std::size_t slots, std::size_t words) {
  std::size_t grown = slots == 0 ? kMinSlots + s * kMinSlots / kSegments : slots + slots / 2;
  while (NeedsGrowth(words, grown)) grown += grown / 2;
  return grown;
}

void TaggedSlots::Grow(std::size_t s, std::size_t more) {
  Segment& old = segments_[s];
  Segment fresh;
  fresh.size = Grown(s, old.size, old.used + more);
  std::uint64_t fresh_bytes = fresh.size * sizeof(std::uint64_t);
  if (fresh_bytes >= kLargeBytes) {
    fresh.large = io::LargeBuffer(fresh_bytes);  // zero-filled: all empty
    fresh.slots = reinterpret_cast<std::uint64_t*>(fresh.large.data());
    fresh_bytes = fresh.large.mapped_size();
  } else {
    fresh.small.reset(new std::uint64_t[fresh.size]());
    fresh.slots = fresh.small.get();
  }
  // Homes are monotonic in the hash, so the old slots read from the start of a run (an
  // empty slot first) come in nearly the order of their new homes. The words are first
  // gathered in that order, without a branch on the empty slots between them; then most
  // go to their home or to the slot after the last one placed, chosen without a branch:
  // valid while [home, next) are all filled, which the current run [run_start, next)
  // shows. A word whose home lies before that run, or past a run reaching the end, is
  // probed for as usual. A probe for every word, and a branch on every empty slot, each
  // mispredicted about as often as not, were most of a growth's time.
  // Locals: the slots are words of the same type as the sizes, so stores through them
  // would otherwise reload the sizes on every step.
  const std::uint64_t* const from = old.slots;
  std::uint64_t* const to = fresh.slots;
  const std::size_t from_size = old.size;
  const std::size_t to_size = fresh.size;
  const std::unique_ptr<std::uint64_t[]> gathered(new std::uint64_t[old.used + 1]);
  std::size_t count = 0;
  std::size_t first_empty = 0;
  while (first_empty < from_size && from[first_empty] != 0) ++first_empty;
  const auto gather = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      gathered[count] = from[i];  // written always, kept only when not empty
      count += from[i] != 0;
    }
  };
  gather(first_empty, from_size);
  gather(0, first_empty);
  std::size_t next = 0;       // after the last word placed in a run
  std::size_t run_start = 0;  // [run_start, next) are filled
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t word = gathered[k];
    const std::size_t home = Home(word, to_size);  // the tag is the hash's top bits
    std::size_t slot = std::max(home, next);
    if (home >= run_start && slot < to_size) [[likely]] {
      run_start = home >= next ? home : run_start;
      next = slot + 1;
    } else {
      slot = home;
      while (to[slot] != 0) {
        if (++slot == to_size) slot = 0;
      }
      if (slot == next) ++next;
    }
    to[slot] = word;
  }
  fresh.used = old.used;
  const std::uint64_t old_bytes = old.large.data() != nullptr ? old.large.mapped_size() : old.size * sizeof(std::uint64_t);
  bytes_ = bytes_ - old_bytes + fresh_bytes;
  largest_ = std::max(largest_, fresh.size);
  old = std::move(fresh);
}

}  // namespace kalvex::writer
