#include "core/writer/digest_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace kalvex::writer {
namespace {

using DigestBytes = std::array<std::uint8_t, DigestTable::kDigestSize>;

// Digests that agree in their first eight bytes (the home slot) and differ only after, so
// every probe past the first slot is a whole-digest comparison.
DigestBytes Colliding(std::uint32_t n) {
  DigestBytes digest{};
  std::memcpy(digest.data() + 8, &n, sizeof n);
  return digest;
}

TEST(DigestTableTest, EntriesAreNumberedInAddOrderAndFoundThroughGrowth) {
  DigestTable table;
  constexpr std::uint32_t kCount = 4500;  // several growths and two digest blocks
  for (std::uint32_t i = 0; i < kCount; ++i) {
    DigestBytes digest = Colliding(i);
    digest[0] = static_cast<std::uint8_t>(i * 37);  // spread over a few home slots
    ASSERT_FALSE(table.Find(digest));
    table.Add(digest);
  }
  EXPECT_EQ(table.size(), kCount);
  for (std::uint32_t i = 0; i < kCount; ++i) {
    DigestBytes digest = Colliding(i);
    digest[0] = static_cast<std::uint8_t>(i * 37);
    ASSERT_EQ(table.Find(digest), i);
  }
  EXPECT_FALSE(table.Find(Colliding(kCount)));
  EXPECT_LE(table.MemoryUsage(), kCount * 40 + 64 * 1024);
}

TEST(DigestTableTest, DigestsDifferingInTheLastByteAreDifferentEntries) {
  DigestTable table;
  DigestBytes a{}, b{};
  b[15] = 1;
  table.Add(a);
  EXPECT_FALSE(table.Find(b));
  table.Add(b);
  EXPECT_EQ(table.Find(a), 0u);
  EXPECT_EQ(table.Find(b), 1u);
}

}  // namespace
}  // namespace kalvex::writer
