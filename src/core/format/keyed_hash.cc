#include "core/format/keyed_hash.h"

#include <random>

namespace kalvex {

namespace {
// splitmix64 finaliser: spreads a counter over all 64 bits.
std::uint64_t Spread(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct ThreadSeedSource {
  std::uint64_t base[3];
  std::uint64_t counter = 0;

  ThreadSeedSource() {
    std::random_device device;
    for (auto& word : base) word = (std::uint64_t{device()} << 32) ^ device();
  }
};
}  // namespace

HashSeed HashSeed::Fresh() {
  thread_local ThreadSeedSource source;
  const std::uint64_t n = ++source.counter;
  // Odd multipliers: a zero key word would make every folded multiply collapse to 0.
  return HashSeed{Spread(source.base[0] ^ n) | 1, Spread(source.base[1] + n) | 1,
                  Spread(source.base[2] - n) | 1};
}

}  // namespace kalvex
