#include "core/writer/object_list.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace kalvex::writer {

namespace {

// A read of spooled records that follows the previous one (the compressor's pass over
// every object) reads this much ahead: one system call per many short records. A read
// elsewhere (the compare of a duplicate) reads its record alone. Each compressing thread
// holds a buffer this large through the build: 1 MiB read no faster, and cost a small
// store's compressed build a tenth more peak memory.
constexpr std::size_t kReadAhead = std::size_t{256} << 10;
// What the CRC of spooled bytes reads per call.
constexpr std::size_t kCrcRead = std::size_t{4} << 20;

StoreError SpoolError(const char* what, int errnum, std::string path) {
  return StoreError::IO(std::string(what) + ": " + (errnum != 0 ? OsErrorText(errnum) : "the file ended early"),
                        errnum, std::move(path));
}

}  // namespace

std::uint64_t ObjectList::Add(std::span<const std::uint8_t> payload) {
  const std::uint64_t obj_id = offsets_.size();
  const std::uint64_t offset = format::kDataOffset + data_length_;

  if (payload.size() > format::kMaxPayloadLength) {
    // Its bytes could never be written, so they are not kept; Build reports the object.
    offsets_.Append(offset);
    if (!first_oversized_) first_oversized_ = Oversized{obj_id, payload.size()};
    return obj_id;
  }

  // Every allocation, and the write of full chunks to a spool, comes before the first
  // change, so a failure leaves the list as it was. A record that does not fit in the
  // last chunk goes whole into a new one, large enough for it: the last chunk then ends
  // short of its capacity.
  const std::size_t record_size = format::kRecordHeadSize + payload.size();
  const bool fits = !chunks_.empty() && chunks_.back().capacity - chunks_.back().used >= record_size;
  StoredChunk fresh;
  if (!fits) {
    // A spool that fails keeps the chunks in memory until a later add or the build.
    if (spool_ != nullptr && !chunks_.empty() && buffered_bytes_ >= hold_) (void)SpoolChunks(chunks_.size()).ok();
    fresh.capacity = std::max(next_chunk_size_, record_size);
    fresh.start = data_length_;
    if (spare_capacity_ >= fresh.capacity) {
      fresh.capacity = spare_capacity_;
      fresh.data = std::move(spare_);
      spare_capacity_ = 0;
    } else {
      fresh.data = io::LargeBuffer(fresh.capacity);
    }
    chunks_.reserve(chunks_.size() + 1);
  }
  offsets_.Append(offset);

  if (!fits) {
    buffered_bytes_ += fresh.capacity;
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
  // holding the record at hand, starting at stream position `chunk_begin`. Records not
  // finished are all in memory: a chunk is finished before it is spooled.
  std::size_t chunk = 0;
  std::uint64_t chunk_begin = spooled_;
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

Status ObjectList::SpoolChunks(std::size_t count) {
  FinishRecords();
  Result<int> writable = spool_->Writable(spooled_);
  if (!writable.ok()) return writable.take_error();
  const int fd = writable.value();
  std::uint32_t crc = spooled_crc_;
  for (std::size_t i = 0; i < count; ++i) {
    const StoredChunk& chunk = chunks_[i];
    if (const auto failed = io::WriteAllAt(fd, chunk.data.data(), chunk.used, format::kDataOffset + chunk.start)) {
      return SpoolError("write spool", failed->errnum, spool_->path());
    }
    crc = crc32::Extend(crc, chunk.data.data(), chunk.used);
  }
  // Nothing can fail from here on.
  for (std::size_t i = 0; i < count; ++i) {
    StoredChunk& chunk = chunks_[i];
    spooled_ += chunk.used;
    buffered_bytes_ -= chunk.capacity;
    if (chunk.capacity > spare_capacity_) {
      spare_ = std::move(chunk.data);
      spare_capacity_ = chunk.capacity;
    }
  }
  spooled_crc_ = crc;
  chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(count));
  return {};
}

Status ObjectList::SpoolAll() {
  if (chunks_.empty()) return {};
  return SpoolChunks(chunks_.size());
}

void ObjectList::ReadFailed(int errnum) const { Keep(SpoolError("read spool", errnum, spool_->path())); }

void ObjectList::Keep(StoreError failure) const {
  const std::lock_guard<std::mutex> hold(failure_lock_);
  if (!read_failure_) read_failure_ = std::move(failure);
}

Status ObjectList::failure() const {
  const std::lock_guard<std::mutex> hold(failure_lock_);
  if (read_failure_) return *read_failure_;
  return {};
}

int ObjectList::spool_fd() const { return spool_ != nullptr ? spool_->readable() : -1; }

const std::uint8_t* ObjectList::BufferedRecordAt(std::uint64_t obj_id) const {
  const std::uint64_t pos = offsets_[obj_id] - format::kDataOffset;
  if (pos < spooled_) return nullptr;
  // Records lie whole in one chunk: the last chunk that starts at or before this one.
  const auto after = std::upper_bound(chunks_.begin(), chunks_.end(), pos,
                                      [](std::uint64_t p, const StoredChunk& chunk) { return p < chunk.start; });
  const StoredChunk& chunk = *std::prev(after);
  return chunk.data.data() + (pos - chunk.start);
}

std::optional<std::span<const std::uint8_t>> ObjectList::Payload(std::uint64_t obj_id, Scratch& scratch) const {
  if (const std::uint8_t* head = BufferedRecordAt(obj_id)) {
    return std::span<const std::uint8_t>(head + format::kRecordHeadSize, format::RecordPayloadLength(head));
  }
  const std::uint64_t pos = offsets_[obj_id] - format::kDataOffset;
  const std::uint64_t length = record_length(obj_id);
  if (pos < scratch.begin || pos + length > scratch.end) {
    // Records lie whole on one side of spooled_, so this one ends within the file.
    std::uint64_t want = length;
    if (pos == scratch.end) want = std::max<std::uint64_t>(length, std::min<std::uint64_t>(kReadAhead, spooled_ - pos));
    if (scratch.bytes.size() < want) scratch.bytes.resize(static_cast<std::size_t>(want));
    scratch.begin = scratch.end = 0;
    if (const auto failed = io::ReadAllAt(spool_->readable(), scratch.bytes.data(), static_cast<std::size_t>(want),
                                          format::kDataOffset + pos)) {
      ReadFailed(*failed);
      return std::nullopt;
    }
    scratch.begin = pos;
    scratch.end = pos + want;
  }
  // The file may have been touched since it was written: a published store is the spool
  // of a writer grown after its build. So the length is the writer's own, and the record's
  // CRC-32 must hold, or damage would pass for a payload: compressed into the next build
  // under a fresh CRC, or hashed and compared as if it were the value added.
  const std::uint8_t* head = scratch.bytes.data() + (pos - scratch.begin);
  const std::span<const std::uint8_t> payload(head + format::kRecordHeadSize, length - format::kRecordHeadSize);
  if (crc32::Value(payload.data(), payload.size()) != format::RecordPayloadCrc(head)) {
    Keep(StoreError::Corrupt("spooled record at " + std::to_string(format::kDataOffset + pos) + " fails its CRC32")
             .WithPath(spool_->path()));
    return std::nullopt;
  }
  return payload;
}

std::uint32_t ObjectList::DataCrc() const {
  std::uint32_t crc = spooled_crc_;
  for (const StoredChunk& chunk : chunks_) crc = crc32::Extend(crc, chunk.data.data(), chunk.used);
  return crc;
}

std::uint32_t ObjectList::ExtendCrc(std::uint32_t crc, std::uint64_t begin, std::uint64_t length) const {
  if (begin < spooled_) {
    const std::uint64_t in_file = std::min(length, spooled_ - begin);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(in_file, kCrcRead)));
    for (std::uint64_t done = 0; done < in_file;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(in_file - done, buffer.size()));
      if (const auto failed = io::ReadAllAt(spool_->readable(), buffer.data(), n, format::kDataOffset + begin + done)) {
        ReadFailed(*failed);
        return crc;
      }
      crc = crc32::Extend(crc, buffer.data(), n);
      done += n;
    }
    begin += in_file;
    length -= in_file;
  }
  // The rest lies in the chunks, each holding a contiguous part of the stream.
  for (const StoredChunk& chunk : chunks_) {
    if (length == 0) break;
    if (begin >= chunk.start + chunk.used) continue;
    const std::uint64_t from = begin - chunk.start;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, chunk.used - from));
    crc = crc32::Extend(crc, chunk.data.data() + from, n);
    begin += n;
    length -= n;
  }
  return crc;
}

}  // namespace kalvex::writer
