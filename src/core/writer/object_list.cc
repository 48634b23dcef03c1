#include "core/writer/object_list.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
  // as it was. A record that does not fit in the last chunk goes whole into a new one,
  // large enough for it: the last chunk then ends short of its capacity.
  const std::size_t record_size = format::kRecordHeadSize + payload.size();
  const bool fits = !chunks_.empty() && chunks_.back().capacity - chunks_.back().used >= record_size;
  StoredChunk fresh;
  if (!fits) {
    fresh.capacity = std::max(next_chunk_size_, record_size);
    fresh.start = data_length_;
    fresh.data = io::LargeBuffer(fresh.capacity);
    chunks_.reserve(chunks_.size() + 1);
  }
  offsets_.push_back(offset);

  if (!fits) {
    chunks_.push_back(std::move(fresh));  // capacity reserved above: cannot throw
    next_chunk_size_ = std::min(next_chunk_size_ * 2, kLargestChunkSize);
  }
  StoredChunk& chunk = chunks_.back();
  std::uint8_t* record = chunk.data.data() + chunk.used;
  format::EncodeRecordHead(record, static_cast<std::uint32_t>(payload.size()), 0);  // CRC: see FinishRecords
  if (!payload.empty()) std::memcpy(record + format::kRecordHeadSize, payload.data(), payload.size());
  chunk.used += record_size;
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

  // Records follow each other in the stream, each inside one chunk; `chunk` is the one
  // holding the record at hand, starting at stream position `chunk_begin`.
  std::size_t chunk = 0;
  std::uint64_t chunk_begin = 0;
  const std::uint64_t count = offsets_.size();
  for (std::uint64_t obj = finished_; obj < count; ++obj) {
    const std::uint64_t pos = offsets_[obj] - format::kDataOffset;
    while (pos >= chunk_begin + chunks_[chunk].used) chunk_begin += chunks_[chunk++].used;
    std::uint8_t* head = chunks_[chunk].data.data() + (pos - chunk_begin);
    payloads[filled] = head + format::kRecordHeadSize;
    lengths[filled] = format::RecordPayloadLength(head);
    heads[filled] = head;
    if (++filled == kBatch) flush();
  }
  flush();
  finished_ = count;
}

const std::uint8_t* ObjectList::RecordAt(std::uint64_t obj_id) const {
  const std::uint64_t pos = offsets_[obj_id] - format::kDataOffset;
  // Records lie whole in one chunk: the last chunk that starts at or before this one.
  const auto after = std::upper_bound(chunks_.begin(), chunks_.end(), pos,
                                      [](std::uint64_t p, const StoredChunk& chunk) { return p < chunk.start; });
  const StoredChunk& chunk = *std::prev(after);
  return chunk.data.data() + (pos - chunk.start);
}

std::span<const std::uint8_t> ObjectList::Payload(std::uint64_t obj_id) const {
  const std::uint8_t* head = RecordAt(obj_id);
  return {head + format::kRecordHeadSize, format::RecordPayloadLength(head)};
}

std::uint32_t ObjectList::DataCrc() const {
  std::uint32_t crc = 0;
  for (const StoredChunk& chunk : chunks_) crc = crc32::Extend(crc, chunk.data.data(), chunk.used);
  return crc;
}

}  // namespace kalvex::writer
