#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "core/writer/writer.h"

namespace kalvex::writer {
namespace {

std::vector<std::uint8_t> Payload(std::uint32_t n, std::size_t size) {
  std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(n));
  for (std::size_t i = 0; i < sizeof n && i < size; ++i) bytes[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return bytes;
}

// Payloads sized so that records meet the ends of the writer's storage chunks (64 KiB at
// first, doubling to 4 MiB): 1,000 bytes fill several chunks, 70,000 bytes exceed the first,
// and 3 MiB outgrow the rest of a chunk half filled. Every repeat comes back as its first
// object, whatever the chunk layout; no object is added again.
TEST(AddObjectUniqueTest, EqualPayloadsShareAnObjectAcrossStorageChunks) {
  for (const std::size_t size : {std::size_t{1000}, std::size_t{70000}, std::size_t{3} << 20}) {
    const std::uint32_t count = size > 100000 ? 6 : 500;
    Writer writer;
    std::vector<std::uint64_t> first;
    for (std::uint32_t n = 0; n < count; ++n) first.push_back(writer.AddObjectUnique(Payload(n, size)));
    ASSERT_EQ(writer.num_objects(), count) << size;
    for (std::uint32_t n = 0; n < count; ++n) {
      ASSERT_EQ(writer.AddObjectUnique(Payload(n, size)), first[n]) << size << " payload " << n;
    }
    EXPECT_EQ(writer.num_objects(), count) << size;
  }
}

// Enough objects to double the table seven times: each growth places every slot word
// anew from its stored hash bits alone, and every payload must still be found after.
TEST(AddObjectUniqueTest, EveryPayloadIsFoundAgainAfterTheTableGrew) {
  Writer writer;
  constexpr std::uint32_t kCount = 100000;
  for (std::uint32_t n = 0; n < kCount; ++n) ASSERT_EQ(writer.AddObjectUnique(Payload(n, 12)), n);
  for (std::uint32_t n = 0; n < kCount; ++n) ASSERT_EQ(writer.AddObjectUnique(Payload(n, 12)), n);
  EXPECT_EQ(writer.num_objects(), kCount);
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

// A build gives the index's table back; the next unique add fills it again from the stored
// payloads, in memory or read back from the published file of a writer that spooled them.
// Every payload added uniquely before the build is found again, one added plainly is not,
// and the second build writes the bytes of a writer that was never built in between.
class PayloadIndexAfterBuildTest : public ::testing::TestWithParam<bool> {};

TEST_P(PayloadIndexAfterBuildTest, FindsWhatItFoundBeforeTheBuild) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("kalvex-payload-index-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "out.klvx").string();
  // A budget whose payload index's share (an eighth) holds every payload: past it a repeat
  // may get an id of its own (see test_deferred_payloads.py).
  const WriterOptions options = GetParam() ? WriterOptions{std::uint64_t{8} << 20, path} : WriterOptions{};
  const auto grow = [](Writer& writer, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t n = from; n < to; ++n) {
      const std::uint64_t id = n % 7 == 0 ? writer.AddObject(Payload(n, 300)) : writer.AddObjectUnique(Payload(n, 300));
      ASSERT_TRUE(writer.AddKey(Payload(n, 16), id).ok());
    }
  };
  Writer built(options);
  Writer unbuilt;
  grow(built, 0, 20000);
  grow(unbuilt, 0, 20000);
  ASSERT_TRUE(built.Build(path).ok());
  for (std::uint32_t n = 0; n < 20000; n += 97) {
    const std::uint64_t before = built.num_objects();
    const std::uint64_t id = built.AddObjectUnique(Payload(n, 300));
    EXPECT_EQ(id == before, n % 7 == 0) << n;  // plain adds are never matched
    ASSERT_EQ(id, unbuilt.AddObjectUnique(Payload(n, 300)));
  }
  grow(built, 20000, 30000);
  grow(unbuilt, 20000, 30000);
  ASSERT_TRUE(built.Build(path).ok());
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes_built((std::istreambuf_iterator<char>(in)), {});
  ASSERT_TRUE(unbuilt.Build(path).ok());
  std::ifstream again(path, std::ios::binary);
  EXPECT_EQ(bytes_built, std::vector<char>((std::istreambuf_iterator<char>(again)), {}));
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndSpooled, PayloadIndexAfterBuildTest, ::testing::Bool());

}  // namespace
}  // namespace kalvex::writer
