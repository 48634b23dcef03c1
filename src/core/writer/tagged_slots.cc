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
  // The old slots, about to go, hold the gathered words: [0, first_empty) are full
  // already (the end of the last run, wrapped), and the words after first_empty move down
  // to follow it, never past a slot not yet read. They are placed from first_empty on,
  // then [0, first_empty).
  // Locals: the slots are words of the same type as the sizes, so stores through them
  // would otherwise reload the sizes on every step.
  std::uint64_t* const from = old.slots;
  std::uint64_t* const to = fresh.slots;
  const std::size_t from_size = old.size;
  const std::size_t to_size = fresh.size;
  std::size_t first_empty = 0;
  while (first_empty < from_size && from[first_empty] != 0) ++first_empty;
  std::size_t end = first_empty;
  for (std::size_t i = first_empty; i < from_size; ++i) {
    const std::uint64_t word = from[i];
    from[end] = word;  // written always, kept only when not empty
    end += word != 0;
  }
  std::size_t next = 0;       // after the last word placed in a run
  std::size_t run_start = 0;  // [run_start, next) are filled
  for (std::size_t k = first_empty; k < end + first_empty; ++k) {
    const std::uint64_t word = from[k < end ? k : k - end];
    const std::size_t home = Home(word, to_size);  // the tag is the hash's top bits
    // A mask, not a condition: the compiler turned the choice into a branch that
    // mispredicted as often as the two cases alternate.
    const std::size_t jump = std::size_t{0} - static_cast<std::size_t>(home >= next);
    std::size_t slot = (home & jump) | (next & ~jump);
    if (home >= run_start && slot < to_size) [[likely]] {
      run_start = (home & jump) | (run_start & ~jump);
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
