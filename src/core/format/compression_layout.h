// Compressed values: how a store whose writer compressed its values lays them out.
//
// A store is compressed when its header's features byte has kFeatureCompressedValues set
// (layout.h). Then, and only then:
//
// - Every object record that a key refers to holds a tagged value:
//     payload: tag u8 | body
//   tag kValueRaw:  body is the value itself (kept so when compressing did not shrink it)
//   tag kValueZstd: body is one zstd frame, made with the store's dictionary (none when
//                   the dictionary is empty), that records its content size in its frame
//                   header; that size is the value's length.
//   Any other tag, or an empty payload, is damage. One byte is all a value pays.
//
// - One more object record, which no key refers to, holds the dictionary:
//     payload: dictionary (dictionary_length bytes) | trailer (kDictionaryTrailerSize)
//   Trailer: original_bytes u64 | stored_bytes u64 | max_value_length u32
//            | dictionary_length u32 | codec u8 (=kCodecZstd) | 3 zero bytes
//            | magic "KLVXdict"
//   original_bytes and stored_bytes sum the values' lengths and their tagged payloads'
//   lengths (every record but this one and a mapped index's), for the ratio a reader
//   reports; max_value_length bounds what any frame may claim to decode to, so that a
//   damaged frame header cannot make a reader allocate gigabytes.
//   The record ends where the mapped index's record begins when the file carries one, and
//   at index_offset otherwise: a reader finds it from the header (and the mapped index's
//   trailer) in constant time, never by looking at a value's bytes. A writer that streams
//   its values can append it after the last value, as a build does.
//
// Integers are big-endian, as everywhere in the file. A reader that ignores the features
// byte still opens the file and reads every key: it sees the tagged payloads as stored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kalvex::format {

// The features bit (header byte kFeaturesPos, layout.h) of a store with compressed values.
inline constexpr std::uint8_t kFeatureCompressedValues = 0x02;

// ---- Tagged value -------------------------------------------------------------------

inline constexpr std::uint8_t kValueRaw = 0;
inline constexpr std::uint8_t kValueZstd = 1;
inline constexpr std::size_t kValueTagSize = 1;

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
