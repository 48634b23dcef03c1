#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/writer/writer.h"

namespace kalvex::writer {
namespace {

std::vector<std::uint8_t> Payload(std::uint32_t n, std::size_t size) {
  std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(n));
  for (std::size_t i = 0; i < sizeof n && i < size; ++i) bytes[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return bytes;
}

// Payloads of 1,000 bytes fill several storage chunks, so some records straddle two: those
// are stored again rather than matched, and every other repeat comes back as its first id.
TEST(AddObjectUniqueTest, EqualPayloadsShareAnObjectAcrossStorageChunks) {
  Writer writer;
  std::vector<std::uint64_t> first;
  for (std::uint32_t n = 0; n < 500; ++n) first.push_back(writer.AddObjectUnique(Payload(n, 1000)));
  EXPECT_EQ(writer.num_objects(), 500u);
  std::uint64_t matched = 0;
  for (std::uint32_t n = 0; n < 500; ++n) {
    const std::uint64_t again = writer.AddObjectUnique(Payload(n, 1000));
    if (again == first[n]) ++matched;
    else EXPECT_GE(again, 500u);  // never another payload's object
  }
  EXPECT_GE(matched, 490u);
}

TEST(AddObjectUniqueTest, OnlyEqualBytesMatch) {
  Writer writer;
  const std::vector<std::uint8_t> empty;
  const std::uint64_t a = writer.AddObjectUnique(Payload(1, 40));
  const std::uint64_t plain = writer.AddObject(Payload(2, 40));
  EXPECT_NE(writer.AddObjectUnique(Payload(1, 41)), a);        // a longer payload
  EXPECT_NE(writer.AddObjectUnique(Payload(2, 40)), plain);    // AddObject's are not indexed
  EXPECT_EQ(writer.AddObjectUnique(empty), writer.AddObjectUnique(empty));
  EXPECT_EQ(writer.AddObjectUnique(Payload(1, 40)), a);
}

}  // namespace
}  // namespace kalvex::writer
