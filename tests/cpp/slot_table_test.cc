// The slot table's placement under hash distributions a random seed makes unlikely but a
// table must still survive: every hash in one region, every home at the table's end (the
// overflow tail outgrows its first allocation), a few entries at the top of the first
// region and the rest far above (its slots reach where the next arrivals lie, which must
// move aside first), and few distinct hashes shared by distinct and repeated keys. Each
// table is checked against the layout's invariants by the probe rule every reader follows,
// and slot for slot against the placement done the plain way, since files must not change
// with the way the builder works.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "core/format/mapped_index_layout.h"
#include "core/format/slot_table.h"

namespace kalvex::format {
namespace {

struct Distribution {
  const char* name;
  std::uint64_t (*hash)(std::mt19937_64& rng, std::uint64_t key);
  std::uint64_t distinct_keys;  // keys are drawn from [0, distinct_keys)
};

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  return x ^ (x >> 33);
}

const Distribution kDistributions[] = {
    {"uniform", [](std::mt19937_64&, std::uint64_t key) { return Mix(key); }, 1u << 30},
    {"one_region", [](std::mt19937_64&, std::uint64_t key) { return Mix(key) >> 12; }, 1u << 30},
    {"all_at_the_end", [](std::mt19937_64&, std::uint64_t key) { return ~(Mix(key) >> 12); }, 1u << 30},
    {"crowded_first_region",
     [](std::mt19937_64&, std::uint64_t key) {
       return key % 64 == 0 ? (std::uint64_t{1} << 60) - 1 - (Mix(key) >> 30) : Mix(key) | std::uint64_t{1} << 63;
     },
     1u << 30},
    // 64 hashes for 4096 keys: runs of equal hashes holding distinct and repeated keys.
    {"shared_hashes", [](std::mt19937_64&, std::uint64_t key) { return Mix(key % 64) | 1; }, 4096},
};

// Entries whose place is their index, with keys and hashes drawn from a distribution.
struct Entries {
  std::vector<std::uint64_t> key_at;
  std::vector<std::uint64_t> hash_at;
  std::map<std::uint64_t, std::uint64_t> last_place;  // key -> its last entry

  explicit Entries(const Distribution& d, std::size_t n) : key_at(n), hash_at(n) {
    std::mt19937_64 rng(7);
    for (std::uint64_t place = 0; place < n; ++place) {
      key_at[place] = rng() % d.distinct_keys;
      hash_at[place] = d.hash(rng, key_at[place]);
      last_place[key_at[place]] = place;
    }
  }

  SlotTable Build() const {
    SlotTable::Builder builder(key_at.size());
    for (std::uint64_t place = 0; place < key_at.size(); ++place) builder.Add(hash_at[place], place);
    return builder.Finish([&](std::uint64_t a, std::uint64_t b) { return key_at[a] == key_at[b]; });
  }

  // Every entry in hash order, of equal hashes the earlier first; a key seen before in its
  // run of equal hashes takes over that slot, any other entry the first free slot from its home.
  std::vector<std::uint64_t> PlainSlots(std::uint64_t capacity) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> order;  // (hash, place)
    for (std::uint64_t place = 0; place < key_at.size(); ++place) order.emplace_back(hash_at[place], place);
    std::sort(order.begin(), order.end());
    std::vector<std::uint64_t> slots(capacity + order.size() + 1, 0);
    std::vector<std::uint64_t> slot_of(key_at.size());
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const auto [hash, place] = order[i];
      std::size_t same = i;
      while (same > 0 && order[same - 1].first == hash && key_at[order[same - 1].second] != key_at[place]) --same;
      const bool repeated = same > 0 && order[same - 1].first == hash;
      const std::uint64_t slot = repeated ? slot_of[order[same - 1].second] : std::max(SlotHome(hash, capacity), next);
      slots[slot] = SlotTag(hash) | place;
      slot_of[place] = slot;
      next = std::max(next, slot + 1);
    }
    slots.resize(std::max(next, capacity) + 1);
    return slots;
  }
};

class SlotTablePlacement : public ::testing::TestWithParam<Distribution> {};

TEST_P(SlotTablePlacement, EveryKeyIsFoundAtItsLastEntryByTheProbeRule) {
  const Distribution& d = GetParam();
  const Entries entries(d, 20000);
  const SlotTable table = entries.Build();
  const auto& key_at = entries.key_at;
  const auto& hash_at = entries.hash_at;
  const auto& last_place = entries.last_place;

  ASSERT_GT(table.slot_count(), table.capacity());
  EXPECT_EQ(table.slot(table.slot_count() - 1), 0u);
  std::uint64_t occupied = 0;
  for (std::uint64_t s = 0; s < table.slot_count(); ++s) occupied += table.slot(s) != 0;
  EXPECT_EQ(occupied, last_place.size());

  for (const auto& [key, place] : last_place) {
    const std::uint64_t hash = hash_at[place];
    const std::uint64_t tag = SlotTag(hash);
    std::uint64_t found = ~std::uint64_t{0};
    for (std::uint64_t s = SlotHome(hash, table.capacity()); s < table.slot_count(); ++s) {
      const std::uint64_t value = table.slot(s);
      if ((value & kSlotTagMask) < tag) break;
      if ((value & kSlotTagMask) == tag && key_at[value & kSlotPlaceMask] == key) {
        found = value & kSlotPlaceMask;
        break;
      }
    }
    ASSERT_EQ(found, place) << d.name << ": key " << key;
  }
}

TEST_P(SlotTablePlacement, SlotsAreThoseOfThePlainPlacement) {
  const Entries entries(GetParam(), 20000);
  const SlotTable table = entries.Build();
  const std::vector<std::uint64_t> plain = entries.PlainSlots(table.capacity());
  ASSERT_EQ(table.slot_count(), plain.size());
  for (std::uint64_t s = 0; s < plain.size(); ++s) ASSERT_EQ(table.slot(s), plain[s]) << "slot " << s;
}

INSTANTIATE_TEST_SUITE_P(Distributions, SlotTablePlacement, ::testing::ValuesIn(kDistributions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kalvex::format
