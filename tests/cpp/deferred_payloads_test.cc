#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/writer/deferred_payloads.h"
#include "core/writer/object_list.h"

namespace kalvex::writer {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Hashes are chosen here, not computed: unequal payloads share a hash (a collision, which
// must not make an alias), and a few hashes carry many repeats. Every sort share, from all
// records at once to one that fits a thousand, finds the same aliases, each the earliest
// equal object, and only equal payloads are paired.
TEST(DeferredPayloadsTest, RepeatsBecomeAliasesOfTheirFirstObjectInEverySortShare) {
  ObjectList objects;
  DeferredPayloads deferred("");
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> first_of_value(900, ~std::uint64_t{0});
  std::vector<std::uint64_t> value_of;
  for (std::uint64_t id = 0; id < 20000; ++id) {
    const std::uint64_t value = id < 900 ? id : rng() % 900;
    // Values v and v + 450 share a hash; the hash's top bits spread over every range.
    const std::uint64_t hash = (value % 450) * 0x9E3779B97F4A7C15u;
    ASSERT_EQ(objects.Add(Bytes("value " + std::to_string(value))), id);
    deferred.Reserve();
    deferred.Append(hash, id);
    if (first_of_value[value] == ~std::uint64_t{0}) first_of_value[value] = id;
    value_of.push_back(value);
  }
  for (const std::uint64_t memory : {std::uint64_t{1} << 30, std::uint64_t{0}, std::uint64_t{5000} * 16}) {
    Result<ObjectAliases> found = deferred.Resolve(objects, memory);
    ASSERT_TRUE(found.ok()) << found.error().detail();
    const ObjectAliases& aliases = found.value();
    EXPECT_EQ(aliases.size(), 20000u - 900u) << memory;
    for (std::uint64_t id = 0; id < 20000; ++id) {
      ASSERT_EQ(aliases.Resolve(id), first_of_value[value_of[id]]) << memory << " object " << id;
    }
    std::vector<std::uint8_t> reached(20000);
    reached[19999] = 1;
    aliases.Fold(reached);
    EXPECT_EQ(reached[first_of_value[value_of[19999]]], 1);
    EXPECT_EQ(reached[19999], 0);
  }
}

TEST(DeferredPayloadsTest, AScratchFileThatCannotBeMadeFailsTheResolveNotTheAdds) {
  ObjectList objects;
  DeferredPayloads deferred("/nonexistent-kalvex-directory");
  for (std::uint64_t id = 0; id < 5000; ++id) {
    objects.Add(Bytes("same"));
    deferred.Reserve();
    deferred.Append(7, id);  // the first full buffer fails to find its file: no throw
  }
  Result<ObjectAliases> found = deferred.Resolve(objects, 1 << 20);
  ASSERT_FALSE(found.ok());
  EXPECT_EQ(found.error().path(), "/nonexistent-kalvex-directory") << found.error().detail();
}

}  // namespace
}  // namespace kalvex::writer
