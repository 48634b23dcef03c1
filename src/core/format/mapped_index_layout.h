// The mapped index: a prebuilt lookup structure carried inside a container file, so that a
// reader answers from the mapping instead of parsing the index section into memory.
//
// It is the payload of the LAST object record of the data section, so its record ends
// exactly at index_offset, and no index entry refers to it. The header's feature bit
// kFeatureMappedIndex (layout.h) says it is there; a file without the bit carries none,
// whatever its last record holds. To the container layout it is an ordinary object:
// counted in num_objects, covered by its record's payload CRC and by file_crc32,
// ignored by a reader that does not look for it.
//
//   payload: padding (0..63 zero bytes) | slots (slot_count x 8)
//            | rank samples (sample_count x 8) | trailer (72 bytes)
//
// Every integer is big-endian, as in the rest of the file. The padding puts the slots at
// a file offset that is a multiple of 64, so that (the mapping starting on a page) no
// slot straddles two cache lines and a probe's run of slots touches as few as it can.
// A "place" is an index entry's offset from index_offset (the section's first byte is 0).
//
// Slot (u64): 0 is empty. Otherwise bit 63 is set, bits 40..62 hold the tag (the top 23
//   bits of the key's hash, complemented) and bits 0..39 the place of the entry holding
//   the key. The hash is HashBytes (keyed_hash.h) under the trailer's seed, which is a
//   function of the file's content (SectionSeed below): the same adds give the same
//   bytes on every build, and keys chosen to share slots under one seed would have to
//   predict a seed that every key they add changes.
//   A key's home slot is ((hash >> 24) * capacity) >> 40, in [0, capacity).
// Rank sample k (u64): the place of entry k << rank_shift, for every k with that entry
//   present: sample_count = ceil(num_keys / 2^rank_shift). The entry at rank r is found
//   by walking forward from sample r >> rank_shift; the first key not below a prefix by a
//   binary search over the sampled entries, then a walk of at most 2^rank_shift entries.
// Trailer (76 bytes, the payload's last bytes):
//   magic "KLVXhash" | structure version u8 (=2) | rank_shift u8 | padding u8 | 1 zero byte
//   | num_keys u32 | index_offset u64 | index_length u64 | capacity u64 | slot_count u64
//   | seed k0 u64 | seed k1 u64 | seed k2 u64 | index_crc32 u32
//   num_keys, index_offset and index_length (the index section's length, which reaches
//   the file's end) name the index section it was built for: they must agree with the
//   header and the file, and the section's num_keys entries must end exactly at the end
//   of the file, as a parse of the section requires. A file whose header declares the
//   index and whose trailer disagrees is damaged. index_crc32 is the CRC-32 of the index
//   section: with the record's payload CRC it lets a reader check the whole index at a
//   cost that grows with the index, not with the data. The magic begins with the file's
//   own, so that it reads as "the store's hash index", and ends in lowercase so that it
//   is never mistaken for a file header. (Structure version 1, without index_crc32,
//   predates the feature bit: such files carry no declared index and read as plain.)
//
// Invariants (what the writer guarantees; a reader checks what it relies on):
// - Occupied slots stand in ascending order of their keys' hashes across the whole table;
//   each lies at or after its home, every slot between its home and it is occupied, and
//   nothing wraps around. So a probe from the home passes slots of smaller hashes (greater
//   tags) and stops at the first tag below its own: a greater hash or an empty slot.
// - slot_count > capacity and the last slot is empty, so every probe ends in the table.
// - Each distinct key of the index section has exactly one slot, holding the place of the
//   last entry with that key.
// - payload length == padding + 8 * (slot_count + sample_count) + kIndexTrailerSize, and
//   padding < 64.
// - Rank samples ascend, and the walk of 2^rank_shift entries from sample k ends where
//   sample k + 1 (or, for the last, the section) does; keys ascend (bytewise, equal keys
//   allowed for files written elsewhere). Walks check both on every block they touch.
// - Size: 8 bytes per slot at a load of at most 0.8 (capacity = n + n/4 + 1) plus a short
//   overflow tail, 8 / 2^rank_shift bytes per key of samples, and the record's 80 bytes
//   of head and trailer and at most 63 of padding: about 10.5 bytes per key at rank_shift 4.
//
// Only the trailer is read at open (O(1), from index_offset alone); the tables are read
// where a lookup or a walk lands. No number in the structure is trusted: every place,
// count and length is bounds-checked where it is used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/format/keyed_hash.h"

namespace kalvex::format {

inline constexpr std::array<std::uint8_t, 8> kIndexMagic = {'K', 'L', 'V', 'X', 'h', 'a', 's', 'h'};
inline constexpr std::uint8_t kIndexStructureVersion = 2;
inline constexpr std::size_t kIndexTrailerSize = 76;
inline constexpr std::size_t kSlotSize = 8;
inline constexpr std::size_t kSampleSize = 8;
// The slots start at a file offset that is a multiple of this.
inline constexpr std::size_t kSlotAlignment = 64;
// A sample every 16 entries: half a byte per key, and a walk of at most 15 entries.
inline constexpr unsigned kDefaultRankShift = 4;
// Walks longer than this are refused by a reader: a crafted rank_shift cannot turn one
// positional access into a scan of the whole index section.
inline constexpr unsigned kMaxRankShift = 10;

// ---- Slot -----------------------------------------------------------------------------

// A place must fit the slot's 40 bits: the index section may hold up to this many bytes.
inline constexpr std::uint64_t kMaxSlotPlace = (std::uint64_t{1} << 40) - 1;
inline constexpr std::uint64_t kSlotPlaceMask = kMaxSlotPlace;
inline constexpr std::uint64_t kSlotTagMask = ~kSlotPlaceMask;

// The top 23 hash bits, complemented, under the present bit: tags descend where hashes
// ascend, and no occupied slot is 0.
inline std::uint64_t SlotTag(std::uint64_t hash) {
  return ((~hash >> 1) & kSlotTagMask) | (std::uint64_t{1} << 63);
}
// Maps the top 40 hash bits onto [0, capacity), never decreasing as the hash grows.
inline std::uint64_t SlotHome(std::uint64_t hash, std::uint64_t capacity) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash >> 24) * capacity) >> 40);
}
// Homes for n keys: a load of at most 0.8.
inline constexpr std::uint64_t SlotCapacityFor(std::uint64_t n) { return n == 0 ? 0 : n + n / 4 + 1; }

// ---- Trailer --------------------------------------------------------------------------

struct IndexTrailer {
  static constexpr std::size_t kEncodedLength = kIndexTrailerSize;

  std::array<std::uint8_t, 8> magic = kIndexMagic;
  std::uint8_t version = kIndexStructureVersion;
  std::uint8_t rank_shift = kDefaultRankShift;
  std::uint8_t padding = 0;
  std::uint32_t num_keys = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;
  std::uint64_t capacity = 0;
  std::uint64_t slot_count = 0;
  HashSeed seed{};
  std::uint32_t index_crc32 = 0;

  void EncodeTo(std::uint8_t out[kEncodedLength]) const;
  // Reads every field; checks nothing. REQUIRES: 76 readable bytes.
  static IndexTrailer DecodeFrom(const std::uint8_t in[kEncodedLength]);
};

// ---- Seed -------------------------------------------------------------------------------

// The seed of a file's hash table, taken from its index section (which holds every key
// and, through the object offsets, where every value lies): a chain of HashBytes over the
// section's consecutive blocks of kBlockSize bytes (the last one shorter, none for an
// empty section), each keyed by the state the blocks before it left, from fixed constants;
// the three seed words are the final state spread under three more constants, each made
// odd (a zero word would collapse the hash's multiplies).
class SectionSeed {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{64} << 10;

  // The next block of the section. REQUIRES: every block before it was kBlockSize bytes.
  void Extend(const std::uint8_t* block, std::size_t n);
  HashSeed Finish() const;

 private:
  std::uint64_t state_ = 0x6B6C7678'73656564ull;  // "klvxseed"
};

// Samples for n keys at a rank shift: ceil(n / 2^shift). REQUIRES: shift <= kMaxRankShift.
inline constexpr std::uint64_t SampleCountFor(std::uint64_t n, unsigned shift) {
  return (n + (std::uint64_t{1} << shift) - 1) >> shift;
}

}  // namespace kalvex::format
