#include "core/writer/tagged_slots.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kalvex::writer {
namespace {

// Hashes that crowd the table where probing is hardest: many share a tag (only the id
// tells them apart), many have their home in a segment's last slots (their probes wrap to
// its start), and the rest are random. Every id is found again after every growth, and
// no segment passes three quarters full.
TEST(TaggedSlotsTest, EveryWordIsFoundAfterGrowthsAndWraps) {
  std::mt19937_64 rng(5);
  std::vector<std::uint64_t> hashes;
  for (std::uint64_t i = 0; i < 60000; ++i) {
    const std::uint64_t segment_end = (i % TaggedSlots::kSegments + 1) << (64 - TaggedSlots::kSegmentBits);
    if (i % 60 == 0) {
      hashes.push_back(0x1234567800000000u | i);  // one tag for a thousand
    } else if (i % 3 == 0) {
      hashes.push_back(segment_end - 1 - (rng() >> 40));  // a home in a segment's last slots
    } else {
      hashes.push_back(rng());
    }
  }
  TaggedSlots table;
  for (std::uint64_t id = 0; id < hashes.size(); ++id) {
    const std::uint64_t hash = hashes[id];
    table.Reserve(TaggedSlots::SegmentOf(hash), 1);
    std::uint64_t* slot = table.Probe(hash, [&](std::uint64_t other) { return other == id; });
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(*slot, 0u) << id;
    table.Fill(slot, hash, id);
  }
  for (std::uint64_t id = 0; id < hashes.size(); ++id) {
    const std::uint64_t* slot = table.Probe(hashes[id], [&](std::uint64_t other) { return other == id; });
    ASSERT_TRUE(slot != nullptr && *slot != 0) << id;
    ASSERT_EQ(TaggedSlots::IdOf(*slot), id);
  }
  EXPECT_EQ(table.size(), hashes.size());
  EXPECT_GE(table.memory_usage(), hashes.size() * 8 * 4 / 3);
  EXPECT_LE(table.memory_usage(), TaggedSlots::BytesFor(hashes.size()));
  table.Release();
  EXPECT_EQ(table.Probe(hashes[0], [](std::uint64_t) { return true; }), nullptr);
  EXPECT_EQ(table.memory_usage(), 0u);
}

}  // namespace
}  // namespace kalvex::writer
