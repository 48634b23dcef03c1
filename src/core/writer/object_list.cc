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
  format::EncodeRecordHead(head, static_cast<std::uint32_t>(payload.size()),
                           crc32::Value(payload.data(), payload.size()));

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

std::uint32_t ObjectList::DataCrc() const {
  std::uint32_t crc = 0;
  for (const StoredChunk& chunk : chunks_) crc = crc32::Extend(crc, chunk.data.data(), chunk.used);
  return crc;
}

}  // namespace kalvex::writer
