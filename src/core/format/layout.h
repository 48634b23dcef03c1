// The byte layout of a container file: the one place that knows each field's width,
// position and encoding. Writer, reader and tests all go through these functions.
//
//   header (40 bytes) | data section: object records | index section: index entries
//
// Header:        "KLVX" | version u8 (=2) | features u8 | 2 reserved | num_keys u32
//                | num_objects u32 | index_offset u64 | data_offset u64 (=40)
//                | file_crc32 u32 | 4 reserved
// Object record: payload length u32 | payload CRC-32 u32 | payload
// Index entry:   key length u16 | key bytes | object offset u64
//
// All integers are unsigned, big-endian and unaligned. The object offset is the file
// offset of a record's length field. file_crc32 covers bytes 40..end; the header is
// covered by no CRC. Index entries stand in ascending unsigned-bytewise key order.
// features: what the file carries beyond the base container, one bit each, set by its
// writer. The byte was reserved (written as zero) before features existed, and the
// low-level module still writes zero there and ignores it, so every file reads
// as a plain store to that module. The package's reader refuses a bit it does not know
// (KalvVersionError naming it): a feature changes what the bytes mean.
//   0x01 kFeatureMappedIndex: the last object record of the data section is the mapped
//        index (mapped_index_layout.h). Only this bit makes a reader look for it, so no
//        value, whatever its bytes, is ever taken for the index.
//   0x02 kFeatureCompressedValues: the values are tagged and may be compressed, and the
//        data section holds the dictionary's record (compression_layout.h).
//   Other bits are defined as features land.
//
// The record and entry codecs sit on every lookup and every build, so they are inline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/format/compression_layout.h"
#include "core/format/endian.h"

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

// Header field positions.
inline constexpr std::size_t kVersionPos = 4;
inline constexpr std::size_t kFeaturesPos = 5;
inline constexpr std::size_t kNumKeysPos = 8;
inline constexpr std::size_t kNumObjectsPos = 12;
inline constexpr std::size_t kIndexOffsetPos = 16;
inline constexpr std::size_t kDataOffsetPos = 24;
inline constexpr std::size_t kFileCrcPos = 32;

// Feature bits (see the top of this file).
inline constexpr std::uint8_t kFeatureMappedIndex = 0x01;
// Every bit this library reads; a reader refuses a file with any other.
inline constexpr std::uint8_t kKnownFeatures = kFeatureMappedIndex | kFeatureCompressedValues;

struct Header {
  static constexpr std::size_t kEncodedLength = kHeaderSize;

  std::array<std::uint8_t, 4> magic = kMagic;
  std::uint8_t version = kVersion;
  std::uint8_t features = 0;
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = kHeaderSize;
  std::uint32_t file_crc32 = 0;

  // Writes magic, version 2, features, data_offset 40 and zero reserved bytes beside the
  // fields.
  void EncodeTo(std::uint8_t out[kEncodedLength]) const;
  // Reads every field a reader needs; checks nothing. REQUIRES: 40 readable bytes.
  static Header DecodeFrom(const std::uint8_t in[kEncodedLength]);
};

// ---- Object record ------------------------------------------------------------------

inline constexpr std::size_t kRecordLengthPos = 0;
inline constexpr std::size_t kRecordCrcPos = 4;
inline constexpr std::size_t kRecordHeadSize = 8;  // length + CRC before the payload

// Writes the head of a record whose payload has the given length and CRC-32.
inline void EncodeRecordHead(std::uint8_t out[kRecordHeadSize], std::uint32_t length, std::uint32_t crc) {
  StoreBe32(out + kRecordLengthPos, length);
  StoreBe32(out + kRecordCrcPos, crc);
}

// Fills in the CRC-32 of a head written before its payload's CRC was known.
inline void SetRecordPayloadCrc(std::uint8_t record[kRecordHeadSize], std::uint32_t crc) {
  StoreBe32(record + kRecordCrcPos, crc);
}

// Unchecked decoders: the caller has bounds-checked the head (see LocateRecord).
inline std::uint32_t RecordPayloadLength(const std::uint8_t* record) {
  return LoadBe32(record + kRecordLengthPos);
}
inline std::uint32_t RecordPayloadCrc(const std::uint8_t* record) {
  return LoadBe32(record + kRecordCrcPos);
}

// Where a record claimed by an object offset lies in a file of `file_size` bytes.
enum class RecordFit : std::uint8_t {
  kFits,            // head and payload lie inside the file
  kHeadOutside,     // the offset leaves no room for the head
  kPayloadOutside,  // the head is inside, the payload runs past the end
};
struct RecordLocation {
  RecordFit fit;
  std::uint32_t payload_length;  // valid unless fit == kHeadOutside
};

// The bounds check of every record read; each caller words its own failure.
inline RecordLocation LocateRecord(const std::uint8_t* file, std::uint64_t file_size, std::uint64_t offset) {
  if (offset > file_size || file_size - offset < kRecordHeadSize) return {RecordFit::kHeadOutside, 0};
  const std::uint32_t length = RecordPayloadLength(file + offset);
  if (file_size - offset - kRecordHeadSize < length) return {RecordFit::kPayloadOutside, length};
  return {RecordFit::kFits, length};
}

// ---- Index entry --------------------------------------------------------------------

inline constexpr std::size_t kEntryKeyLengthSize = 2;
inline constexpr std::size_t kEntryOffsetSize = 8;
inline constexpr std::size_t kEntryOverhead = kEntryKeyLengthSize + kEntryOffsetSize;

// Bytes taken by an entry holding a key of `key_length` bytes.
inline constexpr std::uint64_t EntrySize(std::uint64_t key_length) { return kEntryOverhead + key_length; }

// Emits one entry through `out.Append(const std::uint8_t*, std::size_t) -> bool`, the
// key bytes straight from the caller's buffer. False at the first failed piece.
// REQUIRES: key_length <= kMaxKeyLength.
template <class Out>
inline bool EncodeIndexEntry(Out& out, const std::uint8_t* key, std::size_t key_length,
                             std::uint64_t object_offset) {
  std::uint8_t length[kEntryKeyLengthSize];
  std::uint8_t offset[kEntryOffsetSize];
  StoreBe16(length, static_cast<std::uint16_t>(key_length));
  StoreBe64(offset, object_offset);
  return out.Append(length, sizeof length) && out.Append(key, key_length) &&
         out.Append(offset, sizeof offset);
}

// Unchecked decoders of the entry starting at `entry`: the caller has checked that the
// whole entry lies inside its buffer (EntryKeyLength first, then EntrySize of it).
inline std::uint16_t EntryKeyLength(const std::uint8_t* entry) { return LoadBe16(entry); }
inline std::span<const std::uint8_t> EntryKey(const std::uint8_t* entry) {
  return {entry + kEntryKeyLengthSize, EntryKeyLength(entry)};
}
inline std::uint64_t EntryObjectOffset(const std::uint8_t* entry) {
  return LoadBe64(entry + kEntryKeyLengthSize + EntryKeyLength(entry));
}
// An entry ends with its object offset: read from the entry's end, it needs no key length.
inline std::uint64_t EntryObjectOffsetBefore(const std::uint8_t* entry_end) {
  return LoadBe64(entry_end - kEntryOffsetSize);
}

}  // namespace kalvex::format
