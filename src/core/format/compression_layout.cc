#include "core/format/compression_layout.h"

#include <cstring>

#include "core/format/endian.h"

namespace kalvex::format {

namespace {
constexpr std::size_t kOriginalBytesPos = 0;
constexpr std::size_t kStoredBytesPos = 8;
constexpr std::size_t kMaxValueLengthPos = 16;
constexpr std::size_t kDictionaryLengthPos = 20;
constexpr std::size_t kCodecPos = 24;
constexpr std::size_t kMagicPos = 28;
static_assert(kMagicPos + kDictionaryMagic.size() == kDictionaryTrailerSize);
}  // namespace

void DictionaryTrailer::EncodeTo(std::uint8_t out[kEncodedLength]) const {
  std::memset(out, 0, kEncodedLength);
  StoreBe64(out + kOriginalBytesPos, original_bytes);
  StoreBe64(out + kStoredBytesPos, stored_bytes);
  StoreBe32(out + kMaxValueLengthPos, max_value_length);
  StoreBe32(out + kDictionaryLengthPos, dictionary_length);
  out[kCodecPos] = codec;
  std::memcpy(out + kMagicPos, magic.data(), magic.size());
}

DictionaryTrailer DictionaryTrailer::DecodeFrom(const std::uint8_t in[kEncodedLength]) {
  DictionaryTrailer t;
  t.original_bytes = LoadBe64(in + kOriginalBytesPos);
  t.stored_bytes = LoadBe64(in + kStoredBytesPos);
  t.max_value_length = LoadBe32(in + kMaxValueLengthPos);
  t.dictionary_length = LoadBe32(in + kDictionaryLengthPos);
  t.codec = in[kCodecPos];
  std::memcpy(t.magic.data(), in + kMagicPos, t.magic.size());
  return t;
}

}  // namespace kalvex::format
