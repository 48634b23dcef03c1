// Sorting a key map's entries into the index section's key order: unsigned bytewise,
// a proper prefix first.
//
// Keys are compared eight bytes at a time: each item carries the big-endian word of its
// key's bytes at the current depth, zero-padded past the key's end, so most comparisons
// are one integer compare inside the item array, with no visit to the key. Items whose
// words tie are sorted again on their next eight bytes; keys that end inside the tied
// word go first, the shorter first, because zero padding made them equal to a prefix of
// the others. Common key prefixes (all keys "user:...") thus cost one extra pass over the
// tied items per eight shared bytes, instead of a byte compare in every comparison.
#pragma once

#include <cstdint>
#include <vector>

#include "core/writer/key_map.h"

namespace kalvex::writer {

struct KeyOrderItem {
  std::uint64_t word;   // scratch of the sort; free for the caller's use afterwards
  std::uint32_t entry;  // index into KeyMap::entries()
};

// The entries' indexes in ascending key order. Keys are distinct, so the order is total.
// REQUIRES: entries.size() <= KeyMap::kMaxEntries. May throw std::bad_alloc.
std::vector<KeyOrderItem> SortByKey(const std::vector<KeyMap::Entry>& entries);

}  // namespace kalvex::writer
