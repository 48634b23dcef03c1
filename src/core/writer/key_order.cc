#include "core/writer/key_order.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/format/endian.h"

namespace kalvex::writer {

namespace {
constexpr std::uint32_t kWordSize = 8;
// Keys lie in insertion order and items in key order, so a key read from an item nearly
// always waits on memory; asking this many items ahead hides most of the wait.
constexpr std::size_t kPrefetchDistance = 16;
// Below this many items a comparison sort beats the radix passes' fixed costs.
constexpr std::size_t kRadixThreshold = 256;

struct SortItem {
  std::uint64_t word;
  std::uint32_t entry;
  std::uint32_t length;
};

// The key's bytes [depth, depth + 8), big-endian, zero past the key's end.
std::uint64_t WordAt(const std::uint8_t* key, std::uint32_t length, std::uint32_t depth) {
  if (length >= depth + kWordSize) return LoadBe64(key + depth);
  std::uint8_t padded[kWordSize] = {};
  if (length > depth) std::memcpy(padded, key + depth, length - depth);
  return LoadBe64(padded);
}

// Length of the prefix that every key shares.
std::uint32_t SharedPrefix(const KeyMap::EntryList& entries) {
  if (entries.size() == 0) return 0;
  const KeyMap::Entry& first = entries[0];
  std::uint32_t shared = static_cast<std::uint32_t>(first.length);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const KeyMap::Entry& entry = entries[e];
    shared = std::min(shared, static_cast<std::uint32_t>(entry.length));
    std::uint32_t i = 0;
    while (i < shared && entry.key[i] == first.key[i]) ++i;
    shared = i;
    if (shared == 0) break;
  }
  return shared;
}

// Least-significant-byte-first radix sort on the word, one stable pass per byte position
// at which the words differ. `scratch` holds at least `n` items.
void RadixSortByWord(SortItem* items, std::size_t n, SortItem* scratch) {
  std::array<std::array<std::size_t, 256>, kWordSize> counts{};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t word = items[i].word;
    for (std::uint32_t b = 0; b < kWordSize; ++b) ++counts[b][(word >> (8 * b)) & 0xFF];
  }
  SortItem* from = items;
  SortItem* to = scratch;
  for (std::uint32_t b = 0; b < kWordSize; ++b) {
    std::array<std::size_t, 256>& count = counts[b];
    // A byte position where every word agrees would move nothing.
    if (count[(items[0].word >> (8 * b)) & 0xFF] == n) continue;
    std::size_t start = 0;
    for (std::size_t& c : count) start += std::exchange(c, start);
    const int shift = static_cast<int>(8 * b);
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i].word >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != items) std::memcpy(items, from, n * sizeof(SortItem));
}

// True when every key is below the next one. Keys are distinct, so this is key order.
bool InKeyOrder(const KeyMap::EntryList& entries) {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const KeyMap::Entry& a = entries[i - 1];
    const KeyMap::Entry& b = entries[i];
    const std::uint32_t common = static_cast<std::uint32_t>(std::min(a.length, b.length));
    const int c = common == 0 ? 0 : std::memcmp(a.key, b.key, common);
    if (c > 0 || (c == 0 && a.length > b.length)) return false;
  }
  return true;
}

struct Range {
  std::size_t begin;
  std::size_t end;
  std::uint32_t depth;  // bytes [0, depth) are equal across the range
};


// The entries sorted into key order, or null when they are in it already.
std::unique_ptr<SortItem[]> SortedItems(const KeyMap::EntryList& entries) {
  const std::size_t n = entries.size();
  // The entries keep arrival order, so one pass over neighbours, in memory order, tells
  // whether they are in key order; a shuffled input fails it at once.
  if (InKeyOrder(entries)) return nullptr;
  const std::uint32_t start = SharedPrefix(entries);
  std::unique_ptr<SortItem[]> items(new SortItem[n]);
  for (std::size_t i = 0; i < n; ++i) {
    const KeyMap::Entry& entry = entries[i];
    items[i] = SortItem{WordAt(entry.key, entry.length, start), static_cast<std::uint32_t>(i),
                        static_cast<std::uint32_t>(entry.length)};
  }
  {
    std::unique_ptr<SortItem[]> scratch(n > kRadixThreshold ? new SortItem[n] : nullptr);
    const auto by_word = [](const SortItem& a, const SortItem& b) { return a.word < b.word; };
    const auto by_length = [](const SortItem& a, const SortItem& b) { return a.length < b.length; };

    // An explicit stack: a run of long keys sharing a long prefix would otherwise recurse
    // once per eight shared bytes.
    std::vector<Range> pending;
    if (n > 1) pending.push_back({0, n, start});
    while (!pending.empty()) {
      const Range range = pending.back();
      pending.pop_back();
      SortItem* const first = items.get() + range.begin;
      SortItem* const last = items.get() + range.end;
      const std::size_t count = range.end - range.begin;
      if (count > kRadixThreshold) {
        RadixSortByWord(first, count, scratch.get());
      } else {
        std::sort(first, last, by_word);
      }

      const std::uint32_t next_depth = range.depth + kWordSize;
      for (SortItem* run = first; run != last;) {
        SortItem* run_end = run + 1;
        while (run_end != last && run_end->word == run->word) ++run_end;
        if (run_end - run > 1) {
          SortItem* const longer = std::partition(
              run, run_end, [&](const SortItem& item) { return item.length <= next_depth; });
          std::sort(run, longer, by_length);
          if (run_end - longer > 1) {
            for (SortItem* it = longer; it != run_end; ++it) {
              if (run_end - it > static_cast<std::ptrdiff_t>(kPrefetchDistance)) {
                __builtin_prefetch(entries[it[kPrefetchDistance].entry].key + next_depth);
              }
              it->word = WordAt(entries[it->entry].key, it->length, next_depth);
            }
            pending.push_back({static_cast<std::size_t>(longer - items.get()),
                               static_cast<std::size_t>(run_end - items.get()), next_depth});
          }
        }
        run = run_end;
      }
    }
  }

  return items;
}
}  // namespace

KeyOrder::KeyOrder(const KeyMap::EntryList& entries, const ObjectOffsets& object_offsets)
    : entries_(&entries), offsets_(&object_offsets), size_(entries.size()) {
  const std::size_t n = entries.size();
  const std::unique_ptr<SortItem[]> items = SortedItems(entries);
  if (!items) return;

  // Entries and offsets are visited in key order, that is at random: each is asked for
  // well before it is used.
  sorted_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 2 * kPrefetchDistance < n) __builtin_prefetch(&entries[items[i + 2 * kPrefetchDistance].entry]);
    if (i + kPrefetchDistance < n) {
      object_offsets.Prefetch(entries[items[i + kPrefetchDistance].entry].obj_id);
    }
    const KeyMap::Entry& entry = entries[items[i].entry];
    sorted_[i] = IndexItem(entry.key, entry.length, object_offsets[entry.obj_id]);
  }
}

EntryOrder::EntryOrder(const KeyMap::EntryList& entries) : size_(entries.size()) {
  std::unique_ptr<SortItem[]> items = SortedItems(entries);
  if (!items) return;
  indices_.reset(new std::uint32_t[size_]);
  for (std::size_t i = 0; i < size_; ++i) indices_[i] = items[i].entry;
}

}  // namespace kalvex::writer
