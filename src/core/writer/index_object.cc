#include "core/writer/index_object.h"

#include "core/format/crc32.h"
#include "core/format/endian.h"

namespace kalvex::writer {

IndexObject::Builder::Builder(std::size_t n, const HashSeed& seed)
    : seed_(seed), slots_(n), samples_(format::SampleCountFor(n, format::kDefaultRankShift) * format::kSampleSize) {}

std::optional<IndexObject> IndexObject::Builder::Finish(std::uint64_t record_offset, std::uint32_t index_crc) {
  const std::uint64_t index_length = place_;
  if (index_length > format::kMaxSlotPlace + 1) return std::nullopt;

  IndexObject object;
  object.record_offset_ = record_offset;
  object.samples_ = std::move(samples_);
  // The writer's keys are distinct: entries of equal hashes never hold one key.
  object.slots_ = slots_.Finish([](std::uint64_t, std::uint64_t) { return false; });

  const std::uint64_t payload_offset = record_offset + format::kRecordHeadSize;
  object.padding_ = (format::kSlotAlignment - payload_offset % format::kSlotAlignment) % format::kSlotAlignment;
  object.payload_size_ = object.padding_ + object.slots_.slot_count() * format::kSlotSize +
                         object.samples_.size() + format::kIndexTrailerSize;
  if (object.payload_size_ > format::kMaxPayloadLength) return std::nullopt;
  format::IndexTrailer trailer;
  trailer.rank_shift = static_cast<std::uint8_t>(format::kDefaultRankShift);
  trailer.padding = static_cast<std::uint8_t>(object.padding_);
  trailer.num_keys = static_cast<std::uint32_t>(added_);
  trailer.index_offset = object.index_offset();
  trailer.index_length = index_length;
  trailer.capacity = object.slots_.capacity();
  trailer.slot_count = object.slots_.slot_count();
  trailer.seed = seed_;
  trailer.index_crc32 = index_crc;
  trailer.EncodeTo(object.trailer_.data());

  std::uint32_t crc = 0;
  for (std::size_t p = 1; p < object.pieces().size(); ++p) {
    crc = crc32::Extend(crc, object.pieces()[p].data(), object.pieces()[p].size());
  }
  format::EncodeRecordHead(object.head_.data(), static_cast<std::uint32_t>(object.payload_size_), crc);
  return object;
}

std::array<std::span<const std::uint8_t>, 5> IndexObject::pieces() const {
  return {std::span<const std::uint8_t>(head_), std::span<const std::uint8_t>(zeros_.data(), padding_),
          std::span<const std::uint8_t>(slots_.bytes(), slots_.slot_count() * format::kSlotSize),
          std::span<const std::uint8_t>(samples_), std::span<const std::uint8_t>(trailer_)};
}

std::uint32_t IndexObject::ExtendCrc(std::uint32_t crc) const {
  for (const auto piece : pieces()) crc = crc32::Extend(crc, piece.data(), piece.size());
  return crc;
}

}  // namespace kalvex::writer
