// Temporary byte-table engine; replaced by the engine set.
#include "core/format/crc32.h"

#include <array>

namespace kalvex::crc32 {
namespace {
constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr auto kTable = MakeTable();
}  // namespace

std::uint32_t Extend(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace kalvex::crc32
