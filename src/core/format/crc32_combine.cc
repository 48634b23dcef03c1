// crc32::Combine. Appending |b| bytes to a multiplies the register by x^(8|b|) modulo the
// polynomial before b's own contribution is added; the preset and final XOR of
// ISO-HDLC cancel out of that identity, so crc(a ++ b) = crc(a) * x^(8|b|) + crc(b).
// Powers x^(2^k) are squared once into a table; x^(8n) is the product of those whose bit
// is set in 8n. All arithmetic is in the reflected bit order the CRC itself uses.
#include <array>

#include "core/format/crc32.h"

namespace kalvex::crc32 {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // reflected
constexpr std::uint32_t kOne = 0x80000000u;         // x^0, reflected

// a * b modulo the polynomial.
constexpr std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = kOne; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// kPowers[k] = x^(2^k) modulo the polynomial.
constexpr std::array<std::uint32_t, 64> kPowers = [] {
  std::array<std::uint32_t, 64> powers{};
  powers[0] = kOne >> 1;  // x^1
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = MultiplyModP(powers[k - 1], powers[k - 1]);
  return powers;
}();

}  // namespace

std::uint32_t Combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  // x^(8 * length_b): bit k of length_b contributes x^(2^(k + 3)).
  std::uint32_t shift = kOne;
  for (std::size_t k = 3; length_b != 0 && k < kPowers.size(); ++k, length_b >>= 1) {
    if (length_b & 1) shift = MultiplyModP(kPowers[k], shift);
  }
  return MultiplyModP(shift, crc_a) ^ crc_b;
}

}  // namespace kalvex::crc32
