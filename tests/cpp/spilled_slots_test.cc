// The slot table built through scratch files is the table built in memory, byte for byte,
// over several buckets, with hashes that repeat and runs of entries that overflow from one
// bucket's homes into the next's.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/format/slot_table.h"
#include "core/io/file.h"
#include "core/writer/spilled_slots.h"

namespace kalvex::writer {
namespace {

TEST(SpilledSlotsTest, BuildsTheBytesOfTheTableInMemory) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{100000}}) {
    std::mt19937_64 rng(n);
    format::SlotTable::Builder memory(n);
    SpilledSlots spilled(n, 1, {});  // buckets of the least size: several of them
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t hash = rng();
      if (i % 5 == 0) hash = (std::uint64_t{1} << 63) - 1 - (i % 4096) * 3;  // a crowd at the buckets' edge
      if (i % 97 == 0 && i > 0) hash = 42;                                // equal hashes, later places
      memory.Add(hash, i * 20);
      spilled.Add(hash, i * 20);
    }
    const format::SlotTable table = memory.Finish([](std::uint64_t, std::uint64_t) { return false; });
    auto result = spilled.Finish();
    ASSERT_TRUE(result.ok()) << result.error().Render();
    const SpilledSlots::Table& file = result.value();
    ASSERT_EQ(file.capacity, table.capacity());
    ASSERT_EQ(file.slot_count, table.slot_count());
    std::vector<std::uint8_t> bytes(file.slot_count * format::kSlotSize);
    ASSERT_FALSE(io::ReadAllAt(file.file.get(), bytes.data(), bytes.size(), 0));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), table.bytes())) << n;
  }
}

}  // namespace
}  // namespace kalvex::writer
