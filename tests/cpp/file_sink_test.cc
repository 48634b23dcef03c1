// The file sink ends its writes on 2 MiB file offsets where it can, so copied and
// referenced pieces of every size, crossing those offsets at every phase, must still
// reach the file whole and in order.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/writer/file_sink.h"

namespace kalvex::writer {
namespace {

TEST(FileSinkTest, MixedPiecesAcrossTwoMegabyteOffsetsArriveInOrder) {
  char path[] = "/tmp/file_sink_test.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::mt19937_64 rng(3);
  std::vector<std::vector<std::uint8_t>> referenced;  // kept alive until Finish
  std::string expected;
  {
    FileSink sink(fd, std::size_t{4} << 20);
    while (expected.size() < (std::size_t{11} << 20)) {
      // Mostly small copies, as the index section's fields; now and then a large
      // referenced block, as the data section's chunks; rarely a copy larger than the
      // staging buffer.
      const unsigned kind = rng() % 64;
      const std::size_t length = kind == 0 ? (std::size_t{5} << 20) + rng() % 4096
                                 : kind < 4 ? rng() % (std::size_t{3} << 20)
                                            : rng() % 40;
      std::vector<std::uint8_t> piece(length);
      for (auto& byte : piece) byte = static_cast<std::uint8_t>(rng());
      expected.append(piece.begin(), piece.end());
      if (kind > 0 && kind < 4) {
        referenced.push_back(std::move(piece));
        ASSERT_TRUE(sink.AppendReference(referenced.back()));
      } else {
        ASSERT_TRUE(sink.Append(piece.data(), piece.size()));
      }
    }
    ASSERT_TRUE(sink.Finish().ok());
  }
  ::close(fd);
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::unlink(path);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
}

}  // namespace
}  // namespace kalvex::writer
