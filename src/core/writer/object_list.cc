#include "core/writer/object_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace kalvex::writer {

std::uint64_t ObjectList::Add(std::span<const std::uint8_t> payload) {
  const std::uint64_t obj_id = offsets_.size();
  const std::uint64_t offset = format::kDataOffset + data_length_;

  if (payload.size() > format::kMaxPayloadLength) {
    // Its bytes could never be written, so they are not kept; Build reports the object.
    offsets_.push_back(offset);
    if (!first_oversized_) first_oversized_ = Oversized{obj_id, payload.size()};
    return obj_id;
  }

  // Every allocation comes before the first change, so a std::bad_alloc leaves the list
  // as it was. A record that does not fit in the last chunk fills it and spills into one
  // new chunk, large enough for the rest.
  const std::size_t record_size = format::kRecordHeadSize + payload.size();
  const std::size_t room = chunks_.empty() ? 0 : chunks_.back().capacity - chunks_.back().used;
  StoredChunk fresh;
  if (record_size > room) {
    fresh.capacity = std::max(next_chunk_size_, record_size - room);
    fresh.data = io::LargeBuffer(fresh.capacity);
    chunks_.reserve(chunks_.size() + 1);
  }
  offsets_.push_back(offset);

  std::uint8_t head[format::kRecordHeadSize];
  format::EncodeRecordHead(head, static_cast<std::uint32_t>(payload.size()), 0);  // CRC: see FinishRecords

  if (fresh.capacity != 0) {
    chunks_.push_back(std::move(fresh));  // capacity reserved above: cannot throw
    next_chunk_size_ = std::min(next_chunk_size_ * 2, kLargestChunkSize);
  }
  // Copy head then payload, moving to the new chunk when the current one is full.
  std::size_t target = chunks_.size() - 1;
  if (room > 0 && record_size > room) target = chunks_.size() - 2;
  auto append = [&](const std::uint8_t* src, std::size_t n) {
    while (n > 0) {
      StoredChunk& chunk = chunks_[target];
      const std::size_t take = std::min(n, chunk.capacity - chunk.used);
      if (take > 0) {
        std::memcpy(chunk.data.data() + chunk.used, src, take);
        chunk.used += take;
        src += take;
        n -= take;
      }
      if (n > 0) ++target;
    }
  };
  append(head, sizeof head);
  append(payload.data(), payload.size());
  data_length_ += record_size;
  return obj_id;
}

void ObjectList::FinishRecords() {
  constexpr std::size_t kBatch = 64;
  // Zeroed only to spare the compiler's maybe-uninitialized guess on the empty batch.
  const std::uint8_t* payloads[kBatch] = {};
  std::size_t lengths[kBatch] = {};
  std::uint8_t* heads[kBatch] = {};
  std::uint32_t crcs[kBatch] = {};
  std::size_t filled = 0;
  const auto flush = [&] {
    crc32::ValueEach(payloads, lengths, filled, crcs);
    for (std::size_t k = 0; k < filled; ++k) format::SetRecordPayloadCrc(heads[k], crcs[k]);
    filled = 0;
  };

  // Records follow each other in the stream; `chunk` is the one holding the record at
  // hand, starting at stream position `chunk_begin`.
  std::size_t chunk = 0;
  std::uint64_t chunk_begin = 0;
  const std::uint64_t count = offsets_.size();
  for (std::uint64_t obj = finished_; obj < count; ++obj) {
    const std::uint64_t pos = offsets_[obj] - format::kDataOffset;
    const std::uint64_t end = obj + 1 < count ? offsets_[obj + 1] - format::kDataOffset : data_length_;
    const std::uint64_t length = end - pos - format::kRecordHeadSize;
    while (pos >= chunk_begin + chunks_[chunk].used) chunk_begin += chunks_[chunk++].used;
    if (end <= chunk_begin + chunks_[chunk].used) {
      std::uint8_t* head = chunks_[chunk].data.data() + (pos - chunk_begin);
      payloads[filled] = head + format::kRecordHeadSize;
      lengths[filled] = length;
      heads[filled] = head;
      if (++filled == kBatch) flush();
      continue;
    }
    std::uint8_t head[format::kRecordHeadSize];
    format::EncodeRecordHead(head, static_cast<std::uint32_t>(length),
                             StreamCrc(pos + format::kRecordHeadSize, length));
    WriteStream(pos, head, sizeof head);
  }
  flush();
  finished_ = count;
}

std::optional<std::span<const std::uint8_t>> ObjectList::LastPayload() const {
  if (offsets_.empty() || chunks_.empty()) return std::nullopt;
  const std::uint64_t obj_id = offsets_.size() - 1;
  if (first_oversized_ && first_oversized_->obj_id <= obj_id) return std::nullopt;
  // The stream's last chunk holds its final `used` bytes; the record is in one piece when
  // it starts inside that chunk.
  const StoredChunk& last = chunks_.back();
  const std::uint64_t record = offsets_.back() - format::kDataOffset;
  const std::uint64_t chunk_begin = data_length_ - last.used;
  if (record < chunk_begin) return std::nullopt;
  const std::uint8_t* head = last.data.data() + (record - chunk_begin);
  return std::span<const std::uint8_t>(head + format::kRecordHeadSize,
                                       format::RecordPayloadLength(head));
}

std::uint32_t ObjectList::StreamCrc(std::uint64_t pos, std::uint64_t n) const {
  std::uint32_t crc = 0;
  std::uint64_t begin = 0;
  for (const StoredChunk& chunk : chunks_) {
    const std::uint64_t end = begin + chunk.used;
    if (n > 0 && pos < end) {
      const std::uint64_t take = std::min<std::uint64_t>(n, end - pos);
      crc = crc32::Extend(crc, chunk.data.data() + (pos - begin), take);
      pos += take;
      n -= take;
    }
    begin = end;
  }
  return crc;
}

void ObjectList::WriteStream(std::uint64_t pos, const std::uint8_t* bytes, std::size_t n) {
  std::uint64_t begin = 0;
  for (StoredChunk& chunk : chunks_) {
    const std::uint64_t end = begin + chunk.used;
    if (n > 0 && pos < end) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, end - pos));
      std::memcpy(chunk.data.data() + (pos - begin), bytes, take);
      pos += take;
      bytes += take;
      n -= take;
    }
    begin = end;
  }
}

std::uint32_t ObjectList::DataCrc() const {
  std::uint32_t crc = 0;
  for (const StoredChunk& chunk : chunks_) crc = crc32::Extend(crc, chunk.data.data(), chunk.used);
  return crc;
}

}  // namespace kalvex::writer
