// IndexObject: the mapped index of one build (format/mapped_index_layout.h), encoded
// from the sorted keys as the last object record of the data section.
//
// The record must be complete before the header is: its bytes are part of the data
// section, which the whole-file CRC covers, and its length moves index_offset. So a plan
// encodes it whole and keeps it (about 10.5 bytes per key) until the commit writes it.
// Move-only; immutable once encoded.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <span>
#include <vector>

#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/format/mapped_index_layout.h"
#include "core/format/slot_table.h"
#include "core/writer/key_order.h"

namespace kalvex::writer {

class IndexObject {
 public:
  IndexObject(IndexObject&&) noexcept = default;
  IndexObject& operator=(IndexObject&&) noexcept = default;

  // The index object of a file whose data section's user records end at `record_offset`
  // (where this record begins) and whose index section holds `order`, one entry per item,
  // hashes[i] being HashBytes of item i's key under `seed` (taken by the caller in its own
  // pass over the keys, which lie in memory at random).
  // Nullopt when the structure cannot describe the file: an index section past the slots'
  // 40-bit places or a structure past the largest object (about 400 million keys); the
  // build then writes the file without one. REQUIRES: `order` in ascending key order with
  // distinct keys. Throws std::bad_alloc.
  static std::optional<IndexObject> Encode(const std::vector<IndexItem>& order,
                                           const std::vector<std::uint64_t>& hashes, const HashSeed& seed,
                                           std::uint64_t record_offset);

  // Bytes of the whole record (head, tables, trailer).
  std::uint64_t record_size() const { return format::kRecordHeadSize + payload_size_; }
  // The file offset right after the record: the index section's start.
  std::uint64_t index_offset() const { return record_offset_ + record_size(); }

  // The record's bytes, in file order, as pieces that stay put while the object lives.
  std::array<std::span<const std::uint8_t>, 5> pieces() const;
  // `crc` extended over the whole record.
  std::uint32_t ExtendCrc(std::uint32_t crc) const;

 private:
  IndexObject() = default;

  std::uint64_t record_offset_ = 0;
  std::uint64_t payload_size_ = 0;
  std::array<std::uint8_t, format::kRecordHeadSize> head_{};
  std::array<std::uint8_t, format::kSlotAlignment> zeros_{};
  std::size_t padding_ = 0;
  format::SlotTable slots_;  // stored big-endian once encoded
  std::vector<std::uint8_t> samples_;
  std::array<std::uint8_t, format::kIndexTrailerSize> trailer_{};
};

}  // namespace kalvex::writer
