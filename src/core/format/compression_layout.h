// Compressed values: how a store whose writer compressed its values lays them out.
//
// A store is compressed when its header's features byte has kFeatureCompressedValues set
// (layout.h). Then, and only then:
//
// - Every object record that a key refers to holds a stored value:
//     payload: head (a number n in 1 to 3 bytes, see below) | body
//   n = 0 (kHeadRaw):   body is the value itself (kept so when compressing did not shrink it).
//   n = 1 (kHeadFrame): body is one zstd frame in its magicless form (the frame without
//                       its 4-byte magic number), made with the store's dictionary (none
//                       when the dictionary is empty), that records its content size in
//                       its frame header; that size is the value's length. A writer uses
//                       it for values longer than a block.
//   n >= 2:             body is one compressed zstd block, bare (no frame, no block header),
//                       made with the store's dictionary; the value is n - 1 bytes long,
//                       1 to kMaxBlockValue.
//   The head's first byte b0 gives its size; the bytes after it are big-endian:
//     b0 < 0xF0:           1 byte,  n = b0                                  (0 .. 239)
//     0xF0 <= b0 < 0xFE:   2 bytes, n = 240 + ((b0 - 0xF0) << 8 | b1)       (240 .. 3823)
//     b0 >= 0xFE:          3 bytes, n = 3824 + ((b0 - 0xFE) << 16 | b1 b2)  (3824 .. 134895)
//   Each n has one head and each head one n. A head cut short by the payload's end, a
//   block length past kMaxBlockValue, or an empty payload is damage. A value of ~150 bytes
//   compresses to ~50, so every byte around the body counts: a frame would add 9 or 10
//   (magic, frame and block headers) where the head adds 1 or 2, which also gives the
//   decoded length without parsing anything of libzstd's. The one-byte heads reach values
//   of 238 bytes: on 100,000 real records (130 bytes on average, 90% of them between 90
//   and 235) that spared 46% of the values the second byte a 7-bit varint gave them, 1% of
//   the values' compressed bytes; values of 3823 bytes and more, beside which a third byte
//   is nothing, pay for it. (A frame carries no checksum: the record's CRC is what covers
//   the value.)
//
// - One more object record, which no key refers to, holds the dictionary:
//     payload: dictionary (dictionary_length bytes) | trailer (kDictionaryTrailerSize)
//   Trailer: original_bytes u64 | stored_bytes u64 | max_value_length u32
//            | dictionary_length u32 | codec u8 (=kCodecZstd) | 3 zero bytes
//            | magic "KLVXdict"
//   original_bytes and stored_bytes sum the values' lengths and their stored payloads'
//   lengths (every record but this one and a mapped index's), for the ratio a reader
//   reports; max_value_length bounds what any head or frame may claim to decode to, so that
//   a damaged one cannot make a reader allocate gigabytes.
//   The record ends where the mapped index's record begins when the file carries one, and
//   at index_offset otherwise: a reader finds it from the header (and the mapped index's
//   trailer) in constant time, never by looking at a value's bytes. A writer that streams
//   its values can append it after the last value, as a build does.
//
// Integers are big-endian, as everywhere in the file. A reader
// that ignores the features byte still opens the file and reads every key: it sees the
// stored payloads as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kalvex::format {

// The features bit (header byte kFeaturesPos, layout.h) of a store with compressed values.
inline constexpr std::uint8_t kFeatureCompressedValues = 0x02;

// ---- Stored value head ----------------------------------------------------------------

inline constexpr std::uint32_t kHeadRaw = 0;
inline constexpr std::uint32_t kHeadFrame = 1;
// libzstd's largest block (ZSTD_BLOCKSIZE_MAX), which bounds what a bare block decodes to.
inline constexpr std::uint32_t kMaxBlockValue = std::uint32_t{128} << 10;
inline constexpr std::size_t kMaxValueHeadSize = 3;
// The first byte of a two-byte and of a three-byte head (see above), and the least n each
// head size holds.
inline constexpr std::uint32_t kHeadTwoBytes = 0xF0;
inline constexpr std::uint32_t kHeadThreeBytes = 0xFE;
inline constexpr std::uint32_t kHeadTwoByteBase = kHeadTwoBytes;
inline constexpr std::uint32_t kHeadThreeByteBase = kHeadTwoByteBase + ((kHeadThreeBytes - kHeadTwoBytes) << 8);
static_assert(kHeadThreeByteBase + ((0x100 - kHeadThreeBytes) << 16) > kMaxBlockValue + 1,
              "three bytes hold every block's head");

enum class StoredKind : std::uint8_t { kRaw, kFrame, kBlock };

struct ValueHead {
  StoredKind kind;
  std::uint32_t block_length;  // the value's length, for kBlock only
  std::uint8_t size;           // bytes of the head; the body follows
};

// Writes the head of a value of `kind` (and, for a block, of `block_length` bytes) and
// returns its size. REQUIRES: for kBlock, 1 <= block_length <= kMaxBlockValue.
inline std::size_t EncodeValueHead(StoredKind kind, std::uint32_t block_length,
                                   std::uint8_t out[kMaxValueHeadSize]) {
  const std::uint32_t n =
      kind == StoredKind::kRaw ? kHeadRaw : kind == StoredKind::kFrame ? kHeadFrame : block_length + 1;
  if (n < kHeadTwoByteBase) {
    out[0] = static_cast<std::uint8_t>(n);
    return 1;
  }
  if (n < kHeadThreeByteBase) {
    const std::uint32_t rest = n - kHeadTwoByteBase;
    out[0] = static_cast<std::uint8_t>(kHeadTwoBytes + (rest >> 8));
    out[1] = static_cast<std::uint8_t>(rest);
    return 2;
  }
  const std::uint32_t rest = n - kHeadThreeByteBase;
  out[0] = static_cast<std::uint8_t>(kHeadThreeBytes + (rest >> 16));
  out[1] = static_cast<std::uint8_t>(rest >> 8);
  out[2] = static_cast<std::uint8_t>(rest);
  return 3;
}

// The head at the start of a stored payload; false when it is damage (see above).
inline bool DecodeValueHead(const std::uint8_t* stored, std::size_t stored_size, ValueHead& head) {
  if (stored_size == 0) return false;
  const std::uint32_t b0 = stored[0];
  std::uint32_t n = b0;
  head.size = 1;
  if (b0 >= kHeadThreeBytes) {
    if (stored_size < 3) return false;
    n = kHeadThreeByteBase + ((b0 - kHeadThreeBytes) << 16 | std::uint32_t{stored[1]} << 8 | stored[2]);
    head.size = 3;
  } else if (b0 >= kHeadTwoBytes) {
    if (stored_size < 2) return false;
    n = kHeadTwoByteBase + ((b0 - kHeadTwoBytes) << 8 | stored[1]);
    head.size = 2;
  }
  if (n == kHeadRaw || n == kHeadFrame) {
    head.kind = n == kHeadRaw ? StoredKind::kRaw : StoredKind::kFrame;
    head.block_length = 0;
    return true;
  }
  head.kind = StoredKind::kBlock;
  head.block_length = n - 1;
  return head.block_length <= kMaxBlockValue;
}

// ---- Dictionary record ----------------------------------------------------------------

inline constexpr std::array<std::uint8_t, 8> kDictionaryMagic = {'K', 'L', 'V', 'X', 'd', 'i', 'c', 't'};
inline constexpr std::uint8_t kCodecZstd = 1;
inline constexpr std::size_t kDictionaryTrailerSize = 36;

struct DictionaryTrailer {
  static constexpr std::size_t kEncodedLength = kDictionaryTrailerSize;

  std::uint64_t original_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::uint32_t max_value_length = 0;
  std::uint32_t dictionary_length = 0;
  std::uint8_t codec = kCodecZstd;
  std::array<std::uint8_t, 8> magic = kDictionaryMagic;

  void EncodeTo(std::uint8_t out[kEncodedLength]) const;
  // Reads every field; checks nothing. REQUIRES: 36 readable bytes.
  static DictionaryTrailer DecodeFrom(const std::uint8_t in[kEncodedLength]);
};

}  // namespace kalvex::format
