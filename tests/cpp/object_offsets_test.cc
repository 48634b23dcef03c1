// Object offsets are stored as 32-bit distances within blocks: every offset, across block
// boundaries, beyond 4 GiB and in blocks spanning more than 4 GiB, reads back exactly.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/writer/object_offsets.h"

namespace kalvex::writer {
namespace {

TEST(ObjectOffsetsTest, EveryOffsetReadsBack) {
  constexpr std::uint64_t kBlock = 1 << 16;
  // Record lengths: short ones, then one block whose records span more than 4 GiB (it is
  // widened midway), then short ones again, all far beyond 4 GiB.
  std::vector<std::uint64_t> expected;
  ObjectOffsets offsets;
  std::uint64_t offset = 64;
  for (std::uint64_t id = 0; id < 4 * kBlock + 5; ++id) {
    offsets.Append(offset);
    expected.push_back(offset);
    const bool long_records = id >= kBlock + 100 && id < 2 * kBlock;
    offset += long_records ? (std::uint64_t{1} << 17) : 10 + id % 7;
  }
  // Ids skipped by Set take its offset: the left-out objects of a build.
  offsets.Set(expected.size() + 2, offset);
  expected.insert(expected.end(), 3, offset);

  ASSERT_EQ(offsets.size(), expected.size());
  EXPECT_GT(expected.back(), std::uint64_t{1} << 32);
  for (std::uint64_t id = 0; id < expected.size(); ++id) ASSERT_EQ(offsets[id], expected[id]) << id;
  // Four bytes per offset but in the widened block.
  EXPECT_LT(offsets.memory_usage(), expected.size() * 4 + kBlock * 4 + 4096);
}

}  // namespace
}  // namespace kalvex::writer
