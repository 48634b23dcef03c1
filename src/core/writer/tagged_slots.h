// TaggedSlots: the open-addressing table under the writer's key map and payload index,
// which finds the ids of items (keys, payloads) from their 64-bit keyed hashes. What an
// id names, and whether it is the item sought, is the owner's business.
//
// Slot layout: one 64-bit word, the high 32 bits of the item's hash (its tag) above the
// id plus one. A zero word is an empty slot; the tag lets a probe skip most non-matching
// slots without touching the item.
//
// The slots are split by the tag's top bits into kSegments segments, each a table of its
// own with linear probing, wrapping at its end, that grows alone and by half once it is
// three quarters full. One table doubling at once held its old and new slots together,
// three times the slots its items needed at three quarters full; at 4M keys that moment
// and the table left 3/8 full after it were the larger part of the writer's memory beside
// its keys. Here a growth copies a sixteenth of the slots, the segments stay between 50
// and 75 percent full, and their sizes are spread over a growth step (kMinSlots), so the
// total is about 13 bytes a word whatever the count. Growing by a quarter kept them fuller
// still but copied every word four times over, a tenth of the adds' time at 1M keys.
//
// The home slot within a segment is the tag's remaining bits scaled to the segment's
// size (a multiply and a shift): monotonic in the hash, so growing a segment needs
// neither the items nor their hashes again. Each word knows its new home, and reading
// the old slots in order fills the new ones nearly in order, where hashing every item
// anew waited on memory twice per item (its record, then its bytes), placed at random.
// Invariant: every word is reachable from its home by walking forward in its segment,
// wrapping at the end, without passing an empty slot; no segment is more than three
// quarters full, so every probe ends. Words are never removed one at a time.
//
// Not thread-safe. Move-only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/io/large_buffer.h"

namespace kalvex::writer {

class TaggedSlots {
 public:
  // The word holds the id plus one in 32 bits.
  static constexpr std::uint64_t kMaxId = 0xFFFFFFFEu;
  static constexpr unsigned kSegmentBits = 4;
  static constexpr std::size_t kSegments = std::size_t{1} << kSegmentBits;

  TaggedSlots() = default;
  TaggedSlots(TaggedSlots&&) noexcept = default;
  TaggedSlots& operator=(TaggedSlots&&) noexcept = default;

  static std::size_t SegmentOf(std::uint64_t hash) { return static_cast<std::size_t>(hash >> (64 - kSegmentBits)); }
  static std::uint64_t IdOf(std::uint64_t word) { return (word & 0xFFFFFFFFu) - 1; }

  // The slot holding a word of `hash` whose id `same(id)` accepts, or else the empty slot
  // where such a word would go; null when the hash's segment has no slots yet. `same` is
  // asked only of words whose tag is the hash's.
  template <class Same>
  std::uint64_t* Probe(std::uint64_t hash, Same same) const {
    const Segment& segment = segments_[SegmentOf(hash)];
    if (segment.size == 0) return nullptr;
    const std::uint64_t tag = hash >> 32;
    for (std::size_t slot = Home(hash, segment.size);;) {
      std::uint64_t* word = &segment.slots[slot];
      if (*word == 0 || ((*word >> 32) == tag && same(IdOf(*word)))) return word;
      if (++slot == segment.size) slot = 0;
    }
  }

  // The word in the home slot of `hash` (zero when empty), which likely names the item
  // that Probe would compare first.
  std::uint64_t HomeWord(std::uint64_t hash) const {
    const Segment& segment = segments_[SegmentOf(hash)];
    return segment.size == 0 ? 0 : segment.slots[Home(hash, segment.size)];
  }
  // Asks for the memory Probe visits first.
  void Prefetch(std::uint64_t hash) const {
    const Segment& segment = segments_[SegmentOf(hash)];
    if (segment.size != 0) __builtin_prefetch(&segment.slots[Home(hash, segment.size)], 1);
  }

  // Room in segment `s` for `more` words beyond those it holds, so that as many Fills
  // cannot fail. May throw std::bad_alloc, changing nothing a probe answers.
  void Reserve(std::size_t s, std::size_t more) {
    if (NeedsGrowth(segments_[s].used + more, segments_[s].size)) Grow(s, more);
  }
  // Whether segment `s` takes `more` words without growing.
  bool HasRoom(std::size_t s, std::size_t more) const {
    return !NeedsGrowth(segments_[s].used + more, segments_[s].size);
  }
  // Stores the word of (`hash`, `id`) in `slot`, the empty slot Probe returned for `hash`.
  // REQUIRES: Reserve made room for it; id <= kMaxId.
  void Fill(std::uint64_t* slot, std::uint64_t hash, std::uint64_t id) noexcept {
    *slot = (hash >> 32 << 32) | (id + 1);
    ++segments_[SegmentOf(hash)].used;
  }

  // Words held.
  std::uint64_t size() const;
  // Bytes of slots held. The next Reserve of one more word may add GrowthBytes() to them
  // for a moment (a growing segment holds its old and new slots) and keep most of it.
  std::uint64_t memory_usage() const { return bytes_; }
  std::uint64_t GrowthBytes() const {
    return Grown(kSegments - 1, largest_, 0) * sizeof(std::uint64_t);
  }
  // At most the slot bytes a table of `count` words holds (every segment at least half
  // full, past its first slots): for an owner that must know what filling a released
  // table again takes.
  static std::uint64_t BytesFor(std::uint64_t count) {
    return (count * 2 + 2 * kSegments * kMinSlots) * sizeof(std::uint64_t);
  }

  // Drops every word and gives back the memory, as a fresh table.
  void Release() { *this = TaggedSlots(); }

 private:
  struct Segment {
    // Large segments come straight from mmap (io::LargeBuffer: huge pages, memory given
    // back when freed); small ones from the heap, so a small writer costs little.
    std::unique_ptr<std::uint64_t[]> small;
    io::LargeBuffer large;
    std::uint64_t* slots = nullptr;
    std::size_t size = 0;  // slots
    std::size_t used = 0;  // words
  };

  // Segment s starts at kMinSlots * (1 + s / kSegments) slots: the segments' sizes stay
  // spread over one growth step, so they grow at different times and their total follows
  // the words smoothly, instead of all of them sitting just grown, 50 percent full, at once.
  static constexpr std::size_t kMinSlots = 32;
  static bool NeedsGrowth(std::size_t words, std::size_t slots) { return words * 4 > slots * 3; }
  // The slot count segment s of `slots` grows to (by half at least) to hold `words`.
  static std::size_t Grown(std::size_t s, std::size_t slots, std::size_t words);
  static std::size_t Home(std::uint64_t hash, std::size_t size) {
    // The tag's bits below the segment's, as a fraction of 2^32 scaled to the size.
    const std::uint64_t fraction = static_cast<std::uint32_t>((hash >> 32) << kSegmentBits);
    return static_cast<std::size_t>((fraction * size) >> 32);
  }
  void Grow(std::size_t s, std::size_t more);

  std::array<Segment, kSegments> segments_;
  std::uint64_t bytes_ = 0;
  std::size_t largest_ = 0;  // slots of the largest segment
};

}  // namespace kalvex::writer
