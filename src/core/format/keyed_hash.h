// A fast 64-bit hash of byte strings, keyed by per-table random seeds.
//
// Both the writer's key map and the reader's hash index take their table positions from
// it. The seeds are drawn from the operating system's random source once per thread and
// varied for every new table, so a file's keys cannot be chosen ahead to collide: an
// attacker who does not know the seeds cannot predict which keys share a slot.
//
// The mixing step is a 64x64->128-bit multiply folded to 64 bits (low half XOR high
// half); each 16 bytes of input pass through one such multiply, the tail through one more,
// and the length through a last one so that strings differing only in length part ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kalvex {

struct HashSeed {
  std::uint64_t k0;
  std::uint64_t k1;
  std::uint64_t k2;

  // A seed never handed out before in this thread; thread-safe.
  static HashSeed Fresh();
};

namespace hash_detail {
inline std::uint64_t FoldedMultiply(std::uint64_t x, std::uint64_t y) {
  const unsigned __int128 product = static_cast<unsigned __int128>(x) * y;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}
inline std::uint64_t Read64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint64_t Read32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace hash_detail

inline std::uint64_t HashBytes(const std::uint8_t* p, std::size_t n, const HashSeed& seed) {
  using hash_detail::FoldedMultiply;
  using hash_detail::Read32;
  using hash_detail::Read64;
  const std::uint64_t length = n;
  std::uint64_t state = seed.k0;
  while (n > 16) {
    state = FoldedMultiply(Read64(p) ^ seed.k1, Read64(p + 8) ^ state);
    p += 16;
    n -= 16;
  }
  // 0..16 bytes remain; overlapping reads cover them without a byte loop.
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = Read64(p);
    b = Read64(p + n - 8);
  } else if (n >= 4) {
    a = Read32(p);
    b = Read32(p + n - 4);
  } else if (n > 0) {
    a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
  }
  state = FoldedMultiply(a ^ seed.k1, b ^ state ^ seed.k2);
  return FoldedMultiply(state ^ seed.k0, length ^ seed.k2);
}

}  // namespace kalvex
