// IndexObject: the mapped index of one build (format/mapped_index_layout.h), encoded
// from the sorted keys as the last object record of the data section.
//
// The record must be complete before the header is: its bytes are part of the data
// section, which the whole-file CRC covers, and its length moves index_offset. So a plan
// encodes it whole and keeps it (about 10.5 bytes per key) until the commit hands its
// pieces to the file as they lie; under a memory budget too small for that, the slot table
// is built and kept in a scratch file instead (spilled_slots.h), and the commit copies it.
// Move-only; immutable once encoded.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <span>
#include <vector>

#include "core/format/endian.h"
#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/format/mapped_index_layout.h"
#include "core/format/slot_table.h"
#include "core/result.h"
#include "core/writer/spilled_slots.h"

namespace kalvex::writer {

class IndexObject {
 public:
  IndexObject(IndexObject&&) noexcept = default;
  IndexObject& operator=(IndexObject&&) noexcept = default;

  // Collects what the index object needs from the index section, key by key in index
  // order, once the section (and so the seed, format::SectionSeed) is known.
  class Builder {
   public:
    // For n entries hashed under `seed`, the SectionSeed of their section; with the slot
    // table in scratch files in `directory` when SpilledSlots::Needed(n, memory_limit).
    // Throws std::bad_alloc.
    Builder(std::size_t n, const HashSeed& seed, std::uint64_t memory_limit = 0, std::string directory = {});
    // The key of the next entry, in index order. REQUIRES: at most n calls.
    void Add(const std::uint8_t* key, std::size_t length) {
      if ((added_ & kSampleMask) == 0) {
        StoreBe64(samples_.data() + (added_ >> format::kDefaultRankShift) * format::kSampleSize, place_);
      }
      if (place_ <= format::kMaxSlotPlace) {
        if (spilled_) {
          spilled_->Add(HashBytes(key, length, seed_), place_);
        } else {
          slots_.Add(HashBytes(key, length, seed_), place_);
        }
      }
      place_ += format::EntrySize(length);
      ++added_;
    }
    // The index object of a file whose data section's user records end at `record_offset`
    // (where this record begins) and whose index section has CRC-32 `index_crc`. Nullopt when the structure cannot describe the file: an
    // index section past the slots' 40-bit places or a structure past the largest object
    // (about 400 million keys); the build then writes the file without one.
    // REQUIRES: n calls of Add, their keys ascending and distinct. Throws std::bad_alloc;
    // fails with KalvIOError when spilled slots cannot be written or read.
    Result<std::optional<IndexObject>> Finish(std::uint64_t record_offset, std::uint32_t index_crc);

   private:
    static constexpr std::size_t kSampleMask = (std::size_t{1} << format::kDefaultRankShift) - 1;

    HashSeed seed_;
    format::SlotTable::Builder slots_;
    std::optional<SpilledSlots> spilled_;
    std::vector<std::uint8_t> samples_;
    std::uint64_t place_ = 0;  // the next entry's place; in the end the section's length
    std::size_t added_ = 0;
  };

  // Bytes of the whole record (head, tables, trailer).
  std::uint64_t record_size() const { return format::kRecordHeadSize + payload_size_; }
  // The file offset right after the record: the index section's start.
  std::uint64_t index_offset() const { return record_offset_ + record_size(); }

  // The record's bytes, in file order, as pieces that stay put while the object lives.
  // With its slots in a scratch file, piece 2 is empty: they are slot_file()'s first
  // slot_bytes() bytes.
  std::array<std::span<const std::uint8_t>, 5> pieces() const;
  int slot_file() const { return slot_file_.get(); }  // -1 when the slots are in memory
  std::uint64_t slot_bytes() const { return slot_count_ * format::kSlotSize; }
  // `crc` extended over the whole record.
  std::uint32_t ExtendCrc(std::uint32_t crc) const;

  // Appends the record to `sink` (a FileSink, or anything with Append and AppendCopy):
  // each piece by reference when `by_reference` and the sink takes references, else
  // copied; spilled slots by AppendCopy.
  template <class Sink>
  void AppendTo(Sink& sink, bool by_reference) const {
    for (std::size_t p = 0; p < pieces().size(); ++p) {
      const std::span<const std::uint8_t> piece = pieces()[p];
      if (p == 2 && slot_file() >= 0) {
        sink.AppendCopy(slot_file(), 0, slot_bytes());
      } else if (piece.empty()) {
        continue;  // no padding, or the tables of a store without keys
      } else if constexpr (requires { sink.AppendReference(piece); }) {
        if (by_reference) {
          sink.AppendReference(piece);
        } else {
          sink.Append(piece.data(), piece.size());
        }
      } else {
        sink.Append(piece.data(), piece.size());
      }
    }
  }

 private:
  IndexObject() = default;
  // `crc` extended over piece p.
  std::uint32_t ExtendPiece(std::size_t p, std::uint32_t crc) const;

  std::uint64_t record_offset_ = 0;
  std::uint64_t payload_size_ = 0;
  std::array<std::uint8_t, format::kRecordHeadSize> head_{};
  std::array<std::uint8_t, format::kSlotAlignment> zeros_{};
  std::size_t padding_ = 0;
  format::SlotTable slots_;
  io::FileDescriptor slot_file_;
  std::uint64_t slot_count_ = 0;
  std::uint32_t slots_crc_ = 0;  // of the slot bytes, wherever they are
  std::vector<std::uint8_t> samples_;
  std::array<std::uint8_t, format::kIndexTrailerSize> trailer_{};
};

}  // namespace kalvex::writer
