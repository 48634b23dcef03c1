#include "core/writer/key_order.h"

#include <algorithm>
#include <cstring>

#include "core/format/endian.h"

namespace kalvex::writer {

namespace {
constexpr std::uint32_t kWordSize = 8;

// The key's bytes [depth, depth + 8), big-endian, zero past the key's end.
std::uint64_t WordAt(const KeyMap::Entry& entry, std::uint32_t depth) {
  if (entry.length >= depth + kWordSize) return LoadBe64(entry.key + depth);
  std::uint8_t padded[kWordSize] = {};
  if (entry.length > depth) std::memcpy(padded, entry.key + depth, entry.length - depth);
  return LoadBe64(padded);
}

struct Range {
  std::size_t begin;
  std::size_t end;
  std::uint32_t depth;  // bytes [0, depth) are equal across the range
};
}  // namespace

std::vector<KeyOrderItem> SortByKey(const std::vector<KeyMap::Entry>& entries) {
  std::vector<KeyOrderItem> items(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    items[i] = KeyOrderItem{WordAt(entries[i], 0), static_cast<std::uint32_t>(i)};
  }
  const auto by_word = [](const KeyOrderItem& a, const KeyOrderItem& b) { return a.word < b.word; };
  const auto length_of = [&](const KeyOrderItem& item) { return entries[item.entry].length; };

  // An explicit stack: a run of long keys sharing a long prefix would otherwise recurse
  // once per eight shared bytes.
  std::vector<Range> pending;
  if (items.size() > 1) pending.push_back({0, items.size(), 0});
  while (!pending.empty()) {
    const Range range = pending.back();
    pending.pop_back();
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(range.begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(range.end);
    std::sort(first, last, by_word);

    const std::uint32_t next_depth = range.depth + kWordSize;
    for (auto run = first; run != last;) {
      auto run_end = run + 1;
      while (run_end != last && run_end->word == run->word) ++run_end;
      if (run_end - run > 1) {
        const auto longer = std::partition(
            run, run_end, [&](const KeyOrderItem& item) { return length_of(item) <= next_depth; });
        std::sort(run, longer, [&](const KeyOrderItem& a, const KeyOrderItem& b) {
          return length_of(a) < length_of(b);
        });
        if (run_end - longer > 1) {
          for (auto it = longer; it != run_end; ++it) it->word = WordAt(entries[it->entry], next_depth);
          pending.push_back({static_cast<std::size_t>(longer - items.begin()),
                             static_cast<std::size_t>(run_end - items.begin()), next_depth});
        }
      }
      run = run_end;
    }
  }
  return items;
}

}  // namespace kalvex::writer
