// The slot table's placement under hash distributions a random seed makes unlikely but a
// table must still survive: every hash in one region (its bucket overflows into the spill
// list), every home at the table's end (the overflow tail outgrows its first allocation),
// and few distinct hashes shared by distinct and repeated keys. Each table is checked
// against the layout's invariants by the probe rule every reader follows.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
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
    // 64 hashes for 4096 keys: runs of equal hashes holding distinct and repeated keys.
    {"shared_hashes", [](std::mt19937_64&, std::uint64_t key) { return Mix(key % 64) | 1; }, 4096},
};

class SlotTablePlacement : public ::testing::TestWithParam<Distribution> {};

TEST_P(SlotTablePlacement, EveryKeyIsFoundAtItsLastEntryByTheProbeRule) {
  const Distribution& d = GetParam();
  constexpr std::size_t kEntries = 20000;
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> key_at(kEntries);  // an entry's place is its index here
  std::vector<std::uint64_t> hash_at(kEntries);
  std::map<std::uint64_t, std::uint64_t> last_place;  // key -> its last entry
  SlotTable::Builder builder(kEntries);
  for (std::uint64_t place = 0; place < kEntries; ++place) {
    key_at[place] = rng() % d.distinct_keys;
    hash_at[place] = d.hash(rng, key_at[place]);
    last_place[key_at[place]] = place;
    builder.Add(hash_at[place], place);
  }
  const SlotTable table = builder.Finish([&](std::uint64_t a, std::uint64_t b) { return key_at[a] == key_at[b]; });

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

INSTANTIATE_TEST_SUITE_P(Distributions, SlotTablePlacement, ::testing::ValuesIn(kDistributions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kalvex::format
