// The routing rule of sharded stores, in the C interface so that every binding routes
// with this one definition (python/kalvex/shards/routing.py states it in words).
#include <cstdint>

#include "kalvex.h"

extern "C" uint32_t kalvex_jump_hash(uint64_t digest, uint32_t buckets) {
  std::int64_t bucket = -1;
  std::int64_t jump = 0;
  while (jump < static_cast<std::int64_t>(buckets)) {
    bucket = jump;
    digest = digest * 2862933555777941757ULL + 1;
    jump = static_cast<std::int64_t>(static_cast<double>(bucket + 1) *
                                     (2147483648.0 / static_cast<double>((digest >> 33) + 1)));
  }
  return static_cast<uint32_t>(bucket);
}
