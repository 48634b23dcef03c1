// The byte layout of a container file, shared by writer and reader.
//
//   header (40 bytes) | data section: object records | index section: index entries
//
// Header:        "KLVX" | version u8 (=2) | 3 reserved | num_keys u32 | num_objects u32
//                | index_offset u64 | data_offset u64 (=40) | file_crc32 u32 | 4 reserved
// Object record: payload length u32 | payload CRC-32 u32 | payload
// Index entry:   key length u16 | key bytes | object offset u64
//
// All integers are unsigned, big-endian and unaligned. The object offset is the file
// offset of a record's length field. file_crc32 covers bytes 40..end; the header is
// covered by no CRC. Index entries stand in ascending unsigned-bytewise key order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kalvex::format {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'K', 'L', 'V', 'X'};
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::size_t kHeaderSize = 40;
inline constexpr std::uint64_t kDataOffset = kHeaderSize;

// Field widths set the limits.
inline constexpr std::uint64_t kMaxPayloadLength = 0xFFFFFFFFu;
inline constexpr std::uint64_t kMaxKeyLength = 0xFFFFu;
inline constexpr std::uint64_t kMaxKeys = 0xFFFFFFFFu;
inline constexpr std::uint64_t kMaxObjects = 0xFFFFFFFFu;

inline constexpr std::size_t kRecordHeadSize = 8;    // length + CRC before the payload
inline constexpr std::size_t kEntryOverhead = 10;    // key length + object offset

// Header field positions.
inline constexpr std::size_t kVersionPos = 4;
inline constexpr std::size_t kNumKeysPos = 8;
inline constexpr std::size_t kNumObjectsPos = 12;
inline constexpr std::size_t kIndexOffsetPos = 16;
inline constexpr std::size_t kDataOffsetPos = 24;
inline constexpr std::size_t kFileCrcPos = 32;

struct Header {
  static constexpr std::size_t kEncodedLength = kHeaderSize;

  std::array<std::uint8_t, 4> magic = kMagic;
  std::uint8_t version = kVersion;
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = kHeaderSize;
  std::uint32_t file_crc32 = 0;

  // Writes magic, version 2, data_offset 40 and zero reserved bytes beside the fields.
  void EncodeTo(std::uint8_t out[kEncodedLength]) const;
  // Reads every field a reader needs; checks nothing. REQUIRES: 40 readable bytes.
  static Header DecodeFrom(const std::uint8_t in[kEncodedLength]);
};

// Appends payload length, payload CRC-32 and payload. REQUIRES: payload.size() <= kMaxPayloadLength.
void AppendObjectRecord(std::string& out, std::span<const std::uint8_t> payload);
// Writes the 8-byte head of a record for a payload with the given length and CRC.
void EncodeRecordHead(std::uint8_t out[kRecordHeadSize], std::uint32_t length, std::uint32_t crc);

// Appends key length, key bytes and object offset. REQUIRES: key.size() <= kMaxKeyLength.
void AppendIndexEntry(std::string& out, std::span<const std::uint8_t> key, std::uint64_t object_offset);

// Decoders over a mapped file. Unchecked: the caller has bounds-checked the position.
inline std::uint32_t RecordPayloadLength(const std::uint8_t* record);
inline std::uint32_t RecordPayloadCrc(const std::uint8_t* record);

}  // namespace kalvex::format

#include "core/format/endian.h"

namespace kalvex::format {
inline std::uint32_t RecordPayloadLength(const std::uint8_t* record) { return LoadBe32(record); }
inline std::uint32_t RecordPayloadCrc(const std::uint8_t* record) { return LoadBe32(record + 4); }
}  // namespace kalvex::format
