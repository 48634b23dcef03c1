#include "core/format/mapped_index_layout.h"

#include <cstring>

#include "core/format/endian.h"

namespace kalvex::format {

namespace {
constexpr std::size_t kVersionPos = 8;
constexpr std::size_t kRankShiftPos = 9;
constexpr std::size_t kPaddingPos = 10;
constexpr std::size_t kNumKeysPos = 12;
constexpr std::size_t kIndexOffsetPos = 16;
constexpr std::size_t kIndexLengthPos = 24;
constexpr std::size_t kCapacityPos = 32;
constexpr std::size_t kSlotCountPos = 40;
constexpr std::size_t kSeedPos = 48;
constexpr std::size_t kIndexCrcPos = 72;
static_assert(kIndexCrcPos + 4 == kIndexTrailerSize);

// Keys of the seed's chain: fixed, arbitrary, odd.
constexpr HashSeed kChainKey{0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull};
}  // namespace

void IndexTrailer::EncodeTo(std::uint8_t out[kEncodedLength]) const {
  std::memset(out, 0, kEncodedLength);
  std::memcpy(out, magic.data(), magic.size());
  out[kVersionPos] = version;
  out[kRankShiftPos] = rank_shift;
  out[kPaddingPos] = padding;
  StoreBe32(out + kNumKeysPos, num_keys);
  StoreBe64(out + kIndexOffsetPos, index_offset);
  StoreBe64(out + kIndexLengthPos, index_length);
  StoreBe64(out + kCapacityPos, capacity);
  StoreBe64(out + kSlotCountPos, slot_count);
  StoreBe64(out + kSeedPos, seed.k0);
  StoreBe64(out + kSeedPos + 8, seed.k1);
  StoreBe64(out + kSeedPos + 16, seed.k2);
  StoreBe32(out + kIndexCrcPos, index_crc32);
}

IndexTrailer IndexTrailer::DecodeFrom(const std::uint8_t in[kEncodedLength]) {
  IndexTrailer t;
  std::memcpy(t.magic.data(), in, t.magic.size());
  t.version = in[kVersionPos];
  t.rank_shift = in[kRankShiftPos];
  t.padding = in[kPaddingPos];
  t.num_keys = LoadBe32(in + kNumKeysPos);
  t.index_offset = LoadBe64(in + kIndexOffsetPos);
  t.index_length = LoadBe64(in + kIndexLengthPos);
  t.capacity = LoadBe64(in + kCapacityPos);
  t.slot_count = LoadBe64(in + kSlotCountPos);
  t.seed = HashSeed{LoadBe64(in + kSeedPos), LoadBe64(in + kSeedPos + 8), LoadBe64(in + kSeedPos + 16)};
  t.index_crc32 = LoadBe32(in + kIndexCrcPos);
  return t;
}

void SectionSeed::Extend(const std::uint8_t* block, std::size_t n) {
  state_ = HashBytes(block, n, HashSeed{state_ ^ kChainKey.k0, kChainKey.k1, kChainKey.k2});
}

HashSeed SectionSeed::Finish() const {
  const auto word = [&](std::uint64_t k) {
    const std::uint8_t none[1] = {0};
    return HashBytes(none, 0, HashSeed{state_ ^ k, kChainKey.k1 ^ k, kChainKey.k2}) | 1;
  };
  return HashSeed{word(0x736565642D6B3000ull), word(0x736565642D6B3100ull), word(0x736565642D6B3200ull)};
}

}  // namespace kalvex::format
