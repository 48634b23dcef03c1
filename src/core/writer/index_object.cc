#include "core/writer/index_object.h"

#include "core/format/crc32.h"
#include "core/format/endian.h"

namespace kalvex::writer {

IndexObject::Builder::Builder(std::size_t n, const HashSeed& seed, std::uint64_t memory_limit, std::string directory)
    : seed_(seed),
      slots_(SpilledSlots::Needed(n, memory_limit) ? 0 : n),
      samples_(format::SampleCountFor(n, format::kDefaultRankShift) * format::kSampleSize) {
  if (SpilledSlots::Needed(n, memory_limit)) spilled_.emplace(n, memory_limit, std::move(directory));
}

Result<std::optional<IndexObject>> IndexObject::Builder::Finish(std::uint64_t record_offset, std::uint32_t index_crc) {
  const std::uint64_t index_length = place_;
  if (index_length > format::kMaxSlotPlace + 1) return std::optional<IndexObject>();

  IndexObject object;
  object.record_offset_ = record_offset;
  object.samples_ = std::move(samples_);
  std::uint64_t capacity;
  if (spilled_) {
    Result<SpilledSlots::Table> table = spilled_->Finish();
    if (!table.ok()) return table.take_error();
    object.slot_file_ = std::move(table.value().file);
    capacity = table.value().capacity;
    object.slot_count_ = table.value().slot_count;
    object.slots_crc_ = table.value().crc;
  } else {
    // The writer's keys are distinct: entries of equal hashes never hold one key.
    object.slots_ = slots_.Finish([](std::uint64_t, std::uint64_t) { return false; });
    capacity = object.slots_.capacity();
    object.slot_count_ = object.slots_.slot_count();
    object.slots_crc_ = crc32::Value(object.slots_.bytes(), object.slot_bytes());
  }

  const std::uint64_t payload_offset = record_offset + format::kRecordHeadSize;
  object.padding_ = (format::kSlotAlignment - payload_offset % format::kSlotAlignment) % format::kSlotAlignment;
  object.payload_size_ = object.padding_ + object.slot_bytes() +
                         object.samples_.size() + format::kIndexTrailerSize;
  if (object.payload_size_ > format::kMaxPayloadLength) return std::optional<IndexObject>();
  format::IndexTrailer trailer;
  trailer.rank_shift = static_cast<std::uint8_t>(format::kDefaultRankShift);
  trailer.padding = static_cast<std::uint8_t>(object.padding_);
  trailer.num_keys = static_cast<std::uint32_t>(added_);
  trailer.index_offset = object.index_offset();
  trailer.index_length = index_length;
  trailer.capacity = capacity;
  trailer.slot_count = object.slot_count_;
  trailer.seed = seed_;
  trailer.index_crc32 = index_crc;
  trailer.EncodeTo(object.trailer_.data());

  std::uint32_t crc = 0;
  for (std::size_t p = 1; p < object.pieces().size(); ++p) crc = object.ExtendPiece(p, crc);
  format::EncodeRecordHead(object.head_.data(), static_cast<std::uint32_t>(object.payload_size_), crc);
  return std::optional<IndexObject>(std::move(object));
}

std::array<std::span<const std::uint8_t>, 5> IndexObject::pieces() const {
  return {std::span<const std::uint8_t>(head_), std::span<const std::uint8_t>(zeros_.data(), padding_),
          slot_file_.get() >= 0 ? std::span<const std::uint8_t>()
                                : std::span<const std::uint8_t>(slots_.bytes(), slot_bytes()),
          std::span<const std::uint8_t>(samples_), std::span<const std::uint8_t>(trailer_)};
}

std::uint32_t IndexObject::ExtendPiece(std::size_t p, std::uint32_t crc) const {
  // The slots' CRC is known without reading them again, wherever they lie.
  if (p == 2) return crc32::Combine(crc, slots_crc_, slot_bytes());
  return crc32::Extend(crc, pieces()[p].data(), pieces()[p].size());
}

std::uint32_t IndexObject::ExtendCrc(std::uint32_t crc) const {
  for (std::size_t p = 0; p < pieces().size(); ++p) crc = ExtendPiece(p, crc);
  return crc;
}

}  // namespace kalvex::writer
