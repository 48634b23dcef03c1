// x86-64 engines: carry-less multiplication folding with PCLMULQDQ (four 128-bit lanes)
// and with VPCLMULQDQ on AVX-512 (four 512-bit registers).
//
// The input is read as 128-bit lanes, each a reflected polynomial: bit 0 of the first
// byte is the highest power, as in the CRC register. A lane followed by D more bits of
// input contributes lane * x^D, and that is congruent mod P to a 96-bit product of its
// two halves with two 32-bit constants (crc32_fold_constants.h). XORing the product onto
// the lane D bits later leaves the CRC unchanged, so lanes are folded forward until one
// remains, which is then reduced to 32 bits. Never the SSE4.2 CRC32 instruction: it
// computes CRC-32C, a different CRC.
//
// Code that needs CPU features is compiled per function with target attributes, so this file
// builds without -m flags and its functions run only after ReadX86Features allows them.
#include "core/format/crc32_kernels.h"

#if KALVEX_CRC32_X86

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>

#include "core/format/crc32.h"
#include "core/format/crc32_fold_constants.h"

#define KALVEX_TARGET_CLMUL __attribute__((target("sse4.1,pclmul")))
#define KALVEX_TARGET_VPCLMUL \
  __attribute__((target("sse4.1,pclmul,avx2,avx512f,avx512bw,avx512vl,vpclmulqdq")))

namespace kalvex::crc32::internal {
namespace {

// From here on four lanes in flight pay for their combination; below it one lane does.
constexpr std::size_t kMinClmulLength = 64;
// Below one whole lane the table engine is cheaper than a fold and the reduction.
constexpr std::size_t kMinSingleLaneLength = 16;
// Below this the 512-bit main loop would not run a single step.
constexpr std::size_t kMinVpclmulLength = 256;

KALVEX_TARGET_CLMUL inline __m128i Constants(fold::Pair pair) {
  return _mm_set_epi64x(static_cast<long long>(pair.hi), static_cast<long long>(pair.lo));
}

KALVEX_TARGET_CLMUL inline __m128i Load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane * x^D reduced to 96 bits, where k holds the constants for distance D.
KALVEX_TARGET_CLMUL inline __m128i Shift(__m128i lane, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

KALVEX_TARGET_CLMUL inline __m128i Fold(__m128i lane, __m128i k, __m128i onto) {
  return _mm_xor_si128(Shift(lane, k), onto);
}

// Folds the final 1..15 input bytes into the lane. The lane and those bytes form 16 + t
// bytes: the lane's first t bytes become a lane of their own (zero-padded in front, which
// changes nothing) folded by 128 bits onto the last 16. REQUIRES: 16 readable bytes end at end.
KALVEX_TARGET_CLMUL inline __m128i FoldTail(__m128i lane, const std::uint8_t* end, std::size_t t) {
  // pshufb masks: at kShuffle + t, "move byte i + t to i"; at kShuffle + 16 + t, "move
  // byte i - (16 - t) to i". 0x80 writes a zero byte.
  alignas(16) static constexpr std::uint8_t kShuffle[48] = {
      0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,
      0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
      0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
  const __m128i down = Load(kShuffle + t);
  const __m128i head = _mm_shuffle_epi8(lane, Load(kShuffle + 16 + t));
  // Where `down` writes zeros (its top bit is set), the input's last t bytes go instead.
  const __m128i rest = _mm_blendv_epi8(_mm_shuffle_epi8(lane, down), Load(end - 16), down);
  return Fold(head, Constants(fold::kFold128), rest);
}

// The CRC register of a lane R: R * x^32 mod P, in three products.
KALVEX_TARGET_CLMUL inline std::uint32_t Reduce(__m128i lane) {
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k = _mm_set_epi64x(static_cast<long long>(fold::kX64), static_cast<long long>(fold::kX96));
  // High half * (x^96 mod P) plus low half * x^32: a reflected 96-bit value W.
  __m128i w = _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_srli_si128(lane, 8));
  // W's top 32 bits * (x^64 mod P) plus its low 64 bits: a reflected 64-bit value V.
  __m128i v = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(w, low32), k, 0x10), _mm_srli_si128(w, 4));
  // Barrett: q = floor(V_hi * mu / x^32); V mod P = low 32 bits of V + q * P.
  const __m128i b = _mm_set_epi64x(static_cast<long long>(fold::kPoly), static_cast<long long>(fold::kMu));
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(v, low32), b, 0x00);
  __m128i qp = _mm_clmulepi64_si128(_mm_and_si128(q, low32), b, 0x10);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(v, qp), 1));
}

// From one lane that ends at p: the remaining whole lanes, the tail, the reduction.
KALVEX_TARGET_CLMUL inline std::uint32_t Finish(__m128i lane, const std::uint8_t* p, const std::uint8_t* end) {
  const __m128i k128 = Constants(fold::kFold128);
  for (; end - p >= 16; p += 16) lane = Fold(lane, k128, Load(p));
  if (p != end) lane = FoldTail(lane, end, static_cast<std::size_t>(end - p));
  return ~Reduce(lane);
}

KALVEX_TARGET_VPCLMUL inline __m512i Load512(const std::uint8_t* p) {
  return _mm512_loadu_si512(reinterpret_cast<const void*>(p));
}

KALVEX_TARGET_VPCLMUL inline __m512i Fold512(__m512i lanes, __m512i k, __m512i onto) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00),
                                   _mm512_clmulepi64_epi128(lanes, k, 0x11), onto, 0x96);  // a ^ b ^ c
}

KALVEX_TARGET_VPCLMUL inline __m512i Broadcast(fold::Pair pair) {
  const auto lo = static_cast<long long>(pair.lo), hi = static_cast<long long>(pair.hi);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

}  // namespace

KALVEX_TARGET_CLMUL std::uint32_t ExtendX86Clmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  if (n < kMinClmulLength) {
    if (n < kMinSingleLaneLength) return ExtendTable(crc, p, n);
    // Short payloads are the common record: one lane, folded 16 bytes at a time.
    const __m128i x = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    return Finish(x, p + 16, p + n);
  }
  const std::uint8_t* end = p + n;
  // The register's complement enters as the input's first 32 bits.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  p += 64;
  const __m128i k512 = Constants(fold::kFold512);
  for (; end - p >= 64; p += 64) {
    x0 = Fold(x0, k512, Load(p));
    x1 = Fold(x1, k512, Load(p + 16));
    x2 = Fold(x2, k512, Load(p + 32));
    x3 = Fold(x3, k512, Load(p + 48));
  }
  __m128i x = _mm_xor_si128(_mm_xor_si128(Shift(x0, Constants(fold::kFold384)), Shift(x1, Constants(fold::kFold256))),
                            Fold(x2, Constants(fold::kFold128), x3));
  return Finish(x, p, end);
}

KALVEX_TARGET_VPCLMUL std::uint32_t ExtendX86Vpclmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  if (n < kMinVpclmulLength) return ExtendX86Clmul(crc, p, n);
  const std::uint8_t* end = p + n;
  const __m512i first = _mm512_inserti32x4(_mm512_setzero_si512(), _mm_cvtsi32_si128(static_cast<int>(~crc)), 0);
  __m512i z0 = _mm512_xor_si512(Load512(p), first);
  __m512i z1 = Load512(p + 64);
  __m512i z2 = Load512(p + 128);
  __m512i z3 = Load512(p + 192);
  p += 256;
  const __m512i k2048 = Broadcast(fold::kFold2048);
  for (; end - p >= 256; p += 256) {
    z0 = Fold512(z0, k2048, Load512(p));
    z1 = Fold512(z1, k2048, Load512(p + 64));
    z2 = Fold512(z2, k2048, Load512(p + 128));
    z3 = Fold512(z3, k2048, Load512(p + 192));
  }
  const __m512i k512 = Broadcast(fold::kFold512);
  __m512i z = Fold512(z0, Broadcast(fold::kFold1536),
                      Fold512(z1, Broadcast(fold::kFold1024), Fold512(z2, k512, z3)));
  for (; end - p >= 64; p += 64) z = Fold512(z, k512, Load512(p));
  // Four lanes to one: lane i is followed by 3 - i lanes. The last lane's constants are
  // zero, so it contributes only through the blend.
  const fold::Pair k384 = fold::kFold384, k256 = fold::kFold256, k128 = fold::kFold128;
  const __m512i k_lanes = _mm512_set_epi64(0, 0, static_cast<long long>(k128.hi), static_cast<long long>(k128.lo),
                                           static_cast<long long>(k256.hi), static_cast<long long>(k256.lo),
                                           static_cast<long long>(k384.hi), static_cast<long long>(k384.lo));
  __m512i shifted = Fold512(z, k_lanes, _mm512_setzero_si512());
  shifted = _mm512_mask_blend_epi64(0xC0, shifted, z);
  // Zero-masking extracts (and no broadcasts above): the plain forms start from an
  // undefined register, which GCC 12 reports as maybe-uninitialized.
  const __m128i x = _mm_xor_si128(
      _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, shifted, 0), _mm512_maskz_extracti32x4_epi32(0xF, shifted, 1)),
      _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, shifted, 2), _mm512_maskz_extracti32x4_epi32(0xF, shifted, 3)));
  return Finish(x, p, end);
}

namespace {

// Value(zeros, n) for n <= kShortInput: the part of a CRC that the preset contributes.
struct ZeroValues {
  std::uint32_t of[kShortInput + 1];
  ZeroValues() {
    static constexpr std::uint8_t kZero[1] = {0};
    of[0] = 0;
    for (std::size_t n = 1; n <= kShortInput; ++n) of[n] = ExtendTable(of[n - 1], kZero, 1);
  }
};

// A short input is read as 512-bit chunks ending at its end, the bytes before its start
// masked to zero (leading zeros leave a zero register as it is, and masked bytes are never
// read, so nothing outside the input is touched). Lane i of chunk c is followed by
// 4c + 3 - i more lanes; folding each lane straight onto the last one by that distance
// makes every product independent of the others, so no chain of multiplies waits on
// another. The XOR of the products, with the last lane as it is, is congruent to the input.
constexpr std::size_t kMaxChunks = kShortInput / 64;
static_assert(kMaxChunks * 64 == kShortInput && kMaxChunks * 4 <= std::size(fold::kFoldByLanes));

struct ChunkConstants {
  alignas(64) std::uint64_t of[kMaxChunks][8];
  constexpr ChunkConstants() : of{} {
    for (std::size_t c = 0; c < kMaxChunks; ++c) {
      for (std::size_t i = 0; i < 4; ++i) {
        of[c][2 * i] = fold::kFoldByLanes[4 * c + 3 - i].lo;
        of[c][2 * i + 1] = fold::kFoldByLanes[4 * c + 3 - i].hi;
      }
    }
  }
};
alignas(64) constexpr ChunkConstants kChunkConstants;

// One input's folded lanes, still four; their XOR is congruent to the input's linear part.
// REQUIRES: 64 * (kChunks - 1) < n <= 64 * kChunks, so that only the last chunk is part
// of one: its bytes before the input's start are masked off.
template <std::size_t kChunks>
KALVEX_TARGET_VPCLMUL inline __m512i FoldShort(const std::uint8_t* data, std::size_t n) {
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + n;
  __m512i sum = _mm512_setzero_si512();
  for (std::size_t c = 0; c < kChunks; ++c) {  // unrolled: kChunks is a constant
    const auto* at = reinterpret_cast<const void*>(end - 64 * (c + 1));
    const __m512i chunk = c + 1 < kChunks ? _mm512_loadu_si512(at)
                                          : _mm512_maskz_loadu_epi8(~std::uint64_t{0} << (64 * kChunks - n), at);
    const __m512i k = _mm512_load_si512(kChunkConstants.of[c]);
    // The last lane is in place already (its constants are zero) and enters as it is.
    const __m512i onto = c == 0 ? _mm512_maskz_mov_epi64(0xC0, chunk) : sum;
    sum = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(chunk, k, 0x00),
                                    _mm512_clmulepi64_epi128(chunk, k, 0x11), onto, 0x96);
  }
  return sum;
}

// Lane j of the result: the XOR of the four lanes of the input at index[j]. (Zero-masking
// shuffles, as GCC 12 reports the plain forms' undefined start as maybe-uninitialized.)
template <std::size_t kChunks>
KALVEX_TARGET_VPCLMUL inline __m512i FoldFour(const std::uint8_t* const* data, const std::size_t* n,
                                              const std::uint16_t* index) {
  const __m512i s0 = FoldShort<kChunks>(data[index[0]], n[index[0]]);
  const __m512i s1 = FoldShort<kChunks>(data[index[1]], n[index[1]]);
  const __m512i s2 = FoldShort<kChunks>(data[index[2]], n[index[2]]);
  const __m512i s3 = FoldShort<kChunks>(data[index[3]], n[index[3]]);
  const __m512i s01 =
      _mm512_xor_si512(_mm512_maskz_shuffle_i64x2(0xFF, s0, s1, 0x44), _mm512_maskz_shuffle_i64x2(0xFF, s0, s1, 0xEE));
  const __m512i s23 =
      _mm512_xor_si512(_mm512_maskz_shuffle_i64x2(0xFF, s2, s3, 0x44), _mm512_maskz_shuffle_i64x2(0xFF, s2, s3, 0xEE));
  return _mm512_xor_si512(_mm512_maskz_shuffle_i64x2(0xFF, s01, s23, 0x88),
                          _mm512_maskz_shuffle_i64x2(0xFF, s01, s23, 0xDD));
}

// Reduce's steps on four lanes at once (every operation below stays within its 128-bit
// lane): the CRC register of each lane, in order.
KALVEX_TARGET_VPCLMUL inline __m128i ReduceFour(__m512i x) {
  const __m512i low32 = _mm512_set4_epi32(0, 0, 0, -1);
  const __m512i k = Broadcast(fold::Pair{fold::kX96, fold::kX64});
  const __m512i b = Broadcast(fold::Pair{fold::kMu, fold::kPoly});
  const __m512i w = _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_bsrli_epi128(x, 8));
  const __m512i v = _mm512_xor_si512(_mm512_clmulepi64_epi128(_mm512_and_si512(w, low32), k, 0x10),
                                     _mm512_bsrli_epi128(w, 4));
  const __m512i q = _mm512_clmulepi64_epi128(_mm512_and_si512(v, low32), b, 0x00);
  const __m512i qp = _mm512_clmulepi64_epi128(_mm512_and_si512(q, low32), b, 0x10);
  // Each lane's register is its dword 1.
  const __m512i registers = _mm512_maskz_permutexvar_epi32(
      0xFFFF, _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 13, 9, 5, 1), _mm512_xor_si512(v, qp));
  return _mm512_maskz_extracti32x4_epi32(0xF, registers, 0);
}

// The CRC is affine in the input: each input's linear part (folded without the preset)
// XOR the CRC of as many zero bytes, which carries the preset and the final XOR. Four
// inputs' reductions share one 512-bit register, and two such fours are worked on
// together, as a reduction is a chain of dependent steps.
template <std::size_t kChunks>
KALVEX_TARGET_VPCLMUL void ValueFourEach(const std::uint8_t* const* data, const std::size_t* n,
                                        const std::uint16_t* index, std::size_t count, std::uint32_t* out) {
  static const ZeroValues zero_values;
  const auto store = [&](const std::uint16_t* at, __m128i registers) KALVEX_TARGET_VPCLMUL {
    alignas(16) std::uint32_t values[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(values), registers);
    for (int j = 0; j < 4; ++j) out[at[j]] = values[j] ^ zero_values.of[n[at[j]]];
  };
  std::size_t g = 0;
  for (; g + 8 <= count; g += 8) {
    const __m512i x0 = FoldFour<kChunks>(data, n, index + g);
    const __m512i x1 = FoldFour<kChunks>(data, n, index + g + 4);
    const __m128i r0 = ReduceFour(x0);
    const __m128i r1 = ReduceFour(x1);
    store(index + g, r0);
    store(index + g + 4, r1);
  }
  if (g < count) store(index + g, ReduceFour(FoldFour<kChunks>(data, n, index + g)));
}

}  // namespace

KALVEX_TARGET_VPCLMUL void ValueFourEachX86Vpclmul(const std::uint8_t* const* data, const std::size_t* n,
                                                   const std::uint16_t* index, std::size_t count,
                                                   std::size_t chunks, std::uint32_t* out) {
  static_assert(kMaxChunks == 4);
  switch (chunks) {
    case 1:
      return ValueFourEach<1>(data, n, index, count, out);
    case 2:
      return ValueFourEach<2>(data, n, index, count, out);
    case 3:
      return ValueFourEach<3>(data, n, index, count, out);
    default:
      return ValueFourEach<4>(data, n, index, count, out);
  }
}

X86Features ReadX86Features() {
  X86Features f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.sse41 = (c & bit_SSE4_1) != 0;
  f.pclmul = (c & bit_PCLMUL) != 0;
  const bool osxsave = (c & bit_OSXSAVE) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
    f.avx512 = (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_AVX512VL);
    f.vpclmul = (c & bit_VPCLMULQDQ) != 0;
  }
  // A CPU with AVX-512 under an OS that does not save the ZMM registers on a context
  // switch must not use them; XCR0 says what the OS saves. XGETBV faults without OSXSAVE.
  if (osxsave) {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    constexpr std::uint32_t kSseAvxOpmaskZmm = 0xE6;  // bits 1, 2, 5, 6, 7
    f.os_zmm_state = (lo & kSseAvxOpmaskZmm) == kSseAvxOpmaskZmm;
  }
  return f;
}

}  // namespace kalvex::crc32::internal

#endif  // KALVEX_CRC32_X86
