// The engine functions behind crc32_engines.h, one .cc each, and the CPU probes that
// decide which of them may run. Internal to the format module.
//
// Every Extend* here has the contract of crc32::Extend. Those that need CPU features exist only
// in builds for their architecture and must be called only once the probe allows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/format/crc32_engines.h"

// The instruction engine loads 8-byte words in memory order, so it needs a little-endian
// aarch64; a big-endian one keeps the table engine.
#if defined(__aarch64__) && defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define KALVEX_CRC32_ARM 1
#else
#define KALVEX_CRC32_ARM 0
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define KALVEX_CRC32_X86 1
#else
#define KALVEX_CRC32_X86 0
#endif

namespace kalvex::crc32::internal {

std::uint32_t ExtendTable(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

#if KALVEX_CRC32_ARM
std::uint32_t ExtendArmCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
// getauxval(AT_HWCAP) on Linux; 0 (no CRC32 bit) where there is no such word.
std::uint64_t ReadHwcap();
#endif

#if KALVEX_CRC32_X86
std::uint32_t ExtendX86Clmul(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
std::uint32_t ExtendX86Vpclmul(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
// out[i] = Value(data[i], n[i]) for each i = index[k], k < count: four inputs side by
// side, each of 64 * (chunks - 1) + 1 to 64 * chunks bytes (1 <= chunks <= kShortInput / 64).
// An index may repeat. REQUIRES: count a multiple of four.
void ValueFourEachX86Vpclmul(const std::uint8_t* const* data, const std::size_t* n, const std::uint16_t* index,
                             std::size_t count, std::size_t chunks, std::uint32_t* out);
X86Features ReadX86Features();
#endif

}  // namespace kalvex::crc32::internal
