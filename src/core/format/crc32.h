// CRC-32 of ISO-HDLC (reflected polynomial 0xEDB88320, preset and final XOR 0xFFFFFFFF):
// the CRC that zlib's crc32 computes. Never CRC-32C.
//
// The value is a running accumulator that starts at 0, the CRC of no bytes:
//   Extend(Extend(0, a), b) == Value(a ++ b)   for every split of an input.
// The engine (table, or the CPU's carry-less multiply / CRC instructions) is chosen
// once per process from what the CPU offers; every engine gives the same answer.
// Thread-safe: no state beyond the cached engine choice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalvex::crc32 {

std::uint32_t Extend(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

inline std::uint32_t Value(const std::uint8_t* data, std::size_t n) { return Extend(0, data, n); }

// The CRC of a ++ b from crc_a = Value(a), crc_b = Value(b) and b's length, in O(log
// length_b) steps: lets two parts of an input be checksummed in whichever order they
// are produced. Combine(Value(a), Value(b), |b|) == Value(a ++ b).
std::uint32_t Combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b);

// Values of several independent inputs: out[i] == Value(data[i], n[i]) for i < count.
// One short input is a chain of dependent steps that leaves the CPU mostly waiting; where
// the engine allows (512-bit carry-less multiply), inputs of 1 to kShortInput bytes are
// worked on four side by side. Other inputs are taken one at a time.
inline constexpr std::size_t kShortInput = 256;
void ValueEach(const std::uint8_t* const* data, const std::size_t* n, std::size_t count,
               std::uint32_t* out);

}  // namespace kalvex::crc32
