// aarch64 engine: the CRC32B and CRC32X instructions of the ARMv8 CRC32 extension,
// which compute exactly this CRC (not CRC32C, which has its own instructions).
//
// Compiled for the extension per function, so the library still runs on cores without
// it; crc32.cc calls it only when AT_HWCAP has the CRC32 bit.
#include "core/format/crc32_kernels.h"

#if KALVEX_CRC32_ARM

#include <arm_acle.h>

#include <cstring>

#if defined(__linux__)
#include <sys/auxv.h>
#endif

#if defined(__clang__)
#define KALVEX_TARGET_CRC __attribute__((target("crc")))
#else
#define KALVEX_TARGET_CRC __attribute__((target("+crc")))
#endif

namespace kalvex::crc32::internal {

KALVEX_TARGET_CRC std::uint32_t ExtendArmCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  std::uint32_t reg = ~crc;
  // Single bytes up to an 8-byte boundary, so no word load straddles one.
  for (; n > 0 && (reinterpret_cast<std::uintptr_t>(p) & 7) != 0; --n, ++p) reg = __crc32b(reg, *p);
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    reg = __crc32d(reg, word);
  }
  for (; n > 0; --n, ++p) reg = __crc32b(reg, *p);
  return ~reg;
}

std::uint64_t ReadHwcap() {
#if defined(__linux__)
  return getauxval(AT_HWCAP);
#else
  return 0;
#endif
}

}  // namespace kalvex::crc32::internal

#endif  // KALVEX_CRC32_ARM
