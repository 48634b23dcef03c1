// Slicing-by-16: the table engine, and the reference every other engine is tested
// against.
//
// Table k maps a byte to its contribution to the register after it has been followed
// by k more bytes, so the 16 bytes of one step are looked up independently and only the
// first four depend on the running register. Table 0 is the classic byte table and
// finishes the last 0..15 bytes.
#include <array>
#include <bit>
#include <cstring>

#include "core/format/crc32_kernels.h"

namespace kalvex::crc32::internal {
namespace {

constexpr std::uint32_t kReflectedPoly = 0xEDB88320u;

using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kReflectedPoly : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < t.size(); ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      std::uint32_t prev = t[k - 1][i];
      t[k][i] = (prev >> 8) ^ t[0][prev & 0xFF];
    }
  }
  return t;
}

constexpr Tables kTables = MakeTables();

// The register is reflected: the first byte of the input meets its low byte.
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

}  // namespace

std::uint32_t ExtendTable(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
  std::uint32_t reg = ~crc;
  for (; n >= 16; n -= 16, data += 16) {
    // Byte i of the step is followed by 15 - i more, so it goes through table 15 - i.
    // Only bytes 0..3 meet the register. Bytes 4..15 are read one by one from memory,
    // which costs load slots rather than shift-and-mask work, the scarcer resource.
    const std::uint32_t head = LoadLe32(data) ^ reg;
    std::uint32_t rest = 0;
#pragma GCC unroll 12
    for (std::size_t i = 4; i < 16; ++i) rest ^= kTables[15 - i][data[i]];
    reg = (kTables[15][head & 0xFF] ^ kTables[14][(head >> 8) & 0xFF]) ^
          (kTables[13][(head >> 16) & 0xFF] ^ kTables[12][head >> 24]) ^ rest;
  }
  for (; n > 0; --n, ++data) reg = kTables[0][(reg ^ *data) & 0xFF] ^ (reg >> 8);
  return ~reg;
}

}  // namespace kalvex::crc32::internal
