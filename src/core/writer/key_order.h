// Sorting a key map's entries into the index section's key order: unsigned bytewise,
// a proper prefix first.
//
// Keys are compared eight bytes at a time: each item carries the big-endian word of its
// key's bytes at the current depth, zero-padded past the key's end, and items are radix
// sorted on that word without visiting the keys. Items whose words tie are sorted again
// on their next eight bytes; keys that end inside the tied word go first, the shorter
// first, because zero padding made them equal to a prefix of the others. The first word
// is taken after the prefix that all keys share, so keys such as "user:00000001" are told
// apart by their first word.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/writer/key_map.h"
#include "core/writer/object_offsets.h"

namespace kalvex::writer {

// What the index encoder needs of one entry, once the order is known: the encoder then
// reads the key bytes and nothing else.
class IndexItem {
 public:
  IndexItem() = default;
  IndexItem(const std::uint8_t* key, std::uint32_t length, std::uint64_t object_offset)
      : key_(key), packed_(object_offset << kLengthBits | length) {}

  const std::uint8_t* key() const { return key_; }
  std::uint32_t length() const { return static_cast<std::uint32_t>(packed_ & kLengthMask); }
  std::uint64_t object_offset() const { return packed_ >> kLengthBits; }

  // The object offset shares a word with the key length: a data section is held in
  // memory, so its offsets stay far below 2^48.
  static constexpr std::uint64_t kMaxObjectOffset = (std::uint64_t{1} << 48) - 1;

 private:
  static constexpr int kLengthBits = 16;
  static constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kLengthBits) - 1;

  const std::uint8_t* key_;
  std::uint64_t packed_;
};

// A key map's entries in ascending key order, each with the offset object_offsets[obj_id].
// Keys are distinct, so the order is total.
//
// Keys often arrive already in key order (a sorted source, a copy of another store). Then
// the order is the entries' own and nothing is copied: item i is read from entry i where
// it lies. A copy, 16 bytes per key, was the largest buffer a build of such keys added to
// what the writer holds. Otherwise the items are sorted into a list of their own, at a
// peak of 32 bytes per entry while sorting.
//
// Refers to the entries and offsets it was made from: good while they are unchanged.
class KeyOrder {
 public:
  KeyOrder() = default;
  // REQUIRES: entries.size() <= KeyMap::kMaxEntries; every obj_id indexes object_offsets;
  // every offset <= IndexItem::kMaxObjectOffset. May throw std::bad_alloc.
  KeyOrder(const KeyMap::EntryList& entries, const ObjectOffsets& object_offsets);

  std::size_t size() const { return size_; }
  // REQUIRES: i < size()
  IndexItem operator[](std::size_t i) const {
    if (!sorted_.empty()) return sorted_[i];
    const KeyMap::Entry& entry = (*entries_)[i];
    return IndexItem(entry.key, entry.length, (*offsets_)[entry.obj_id]);
  }
  const std::uint8_t* key(std::size_t i) const { return sorted_.empty() ? (*entries_)[i].key : sorted_[i].key(); }

 private:
  const KeyMap::EntryList* entries_ = nullptr;
  const ObjectOffsets* offsets_ = nullptr;
  std::size_t size_ = 0;
  std::vector<IndexItem> sorted_;  // empty when the entries are in key order
};

// The entries' indices in ascending key order, without their offsets: what a spill of the
// map into a sorted run (key_runs.h) needs. 4 bytes per entry once sorted, none when the
// entries are in key order already; the sort itself peaks at 32 bytes per entry.
class EntryOrder {
 public:
  // REQUIRES: entries.size() <= KeyMap::kMaxEntries. May throw std::bad_alloc.
  explicit EntryOrder(const KeyMap::EntryList& entries);

  std::size_t size() const { return size_; }
  // The index of the i-th entry in key order. REQUIRES: i < size()
  std::uint32_t operator[](std::size_t i) const { return indices_ ? indices_[i] : static_cast<std::uint32_t>(i); }

  // Entries visited in key order are visited at random: a visitor at position i asks for
  // the entry it reads some steps later, and for the key of one nearer, likely in by then.
  void PrefetchAhead(const KeyMap::EntryList& entries, std::size_t i) const {
    constexpr std::size_t kEntryAhead = 16;
    constexpr std::size_t kKeyAhead = 4;
    if (i + kEntryAhead < size_) __builtin_prefetch(&entries[(*this)[i + kEntryAhead]]);
    if (i + kKeyAhead < size_) __builtin_prefetch(entries[(*this)[i + kKeyAhead]].key);
  }

  // Bytes a sort of n entries takes at its peak, for a caller that must stay in a budget.
  static constexpr std::uint64_t kSortBytesPerEntry = 32;

 private:
  std::size_t size_;
  std::unique_ptr<std::uint32_t[]> indices_;  // null when the entries are in key order
};

}  // namespace kalvex::writer
