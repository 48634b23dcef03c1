// ObjectList: a writer's payloads, stored already framed as the data section.
//
// Each AddObject appends the object's complete record (length, payload CRC-32, payload)
// to a byte stream kept in heap chunks, so that the chunks, concatenated in order, are
// exactly the data section of the file a build writes. A build hands the chunks to the
// file as they are: payloads are copied once, when added, and never again.
//
// Invariant: every record lies whole inside one chunk. A record that does not fit in the
// last chunk starts a new one, and the last chunk ends short, so that each payload stays
// one run of bytes that the writer's unique add can index and compare. A chunk's unused
// tail was never written: beyond the pages already touched it costs address space only
// (see io::LargeBuffer). A build writes each chunk's used bytes, so the file is the same
// whatever the chunk layout.
//
// A record's payload CRC-32 is not computed when the object is added: the head goes in
// with a zero CRC, and FinishRecords() fills in the CRCs of every record added since its
// last run, short payloads side by side (crc32::ValueEach), before a build needs them.
// One short CRC per call would cost more than the rest of the call.
//
// Alongside the stream the list keeps each object's file offset (8 bytes per object).
// The CRC-32 of the whole stream is not kept running: extending it record by record would
// run the CRC engine a second time on every short payload, where one pass over the
// chunks at build time runs it on long inputs, at several times the speed.
//
// A payload longer than the format allows is accepted but not stored: only the first such
// object is remembered, so that Build can report it. Its record is absent from the stream,
// which is then never written.
//
// Not thread-safe. Copying is deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/io/large_buffer.h"

namespace kalvex::writer {

class ObjectList {
 public:
  struct Oversized {
    std::uint64_t obj_id;
    std::uint64_t length;
  };

  ObjectList() = default;
  ObjectList(const ObjectList&) = delete;
  ObjectList& operator=(const ObjectList&) = delete;

  // Copies the payload's record into the stream and returns its Object ID. On
  // std::bad_alloc the list is unchanged.
  std::uint64_t Add(std::span<const std::uint8_t> payload);

  std::uint64_t size() const { return offsets_.size(); }
  // The payload of object `obj_id` where it lies in the stream (a search over the chunks);
  // the bytes never move while the list lives.
  // REQUIRES: obj_id < size(), and no payload too long to keep came before or with it.
  std::span<const std::uint8_t> Payload(std::uint64_t obj_id) const;
  // Where the record of object `obj_id` starts, found without reading the record.
  // REQUIRES: as for Payload.
  const std::uint8_t* RecordAt(std::uint64_t obj_id) const;
  // REQUIRES: obj_id < size()
  std::uint64_t offset(std::uint64_t obj_id) const { return offsets_[obj_id]; }
  // Every object's file offset, indexed by Object ID.
  const std::vector<std::uint64_t>& offsets() const { return offsets_; }
  // Length of the data section: the stream's length.
  std::uint64_t data_length() const { return data_length_; }
  // CRC-32 of the whole stream, the start of the whole-file CRC: one pass over the chunks.
  std::uint32_t DataCrc() const;
  // The first object, in Object ID order, whose payload the format cannot hold.
  const std::optional<Oversized>& first_oversized() const { return first_oversized_; }

  // Writes the payload CRC of every record added since the last call into its head.
  // REQUIRES: !first_oversized()
  void FinishRecords();

  // The stream, in order. REQUIRES: !first_oversized(), and FinishRecords() since the
  // last Add.
  std::size_t chunk_count() const { return chunks_.size(); }
  std::span<const std::uint8_t> chunk(std::size_t i) const {
    return {chunks_[i].data.data(), chunks_[i].used};
  }

 private:
  // Chunks start small so that a writer of a few objects stays small, and double up to
  // a size at which one write call per chunk costs nothing next to the copying.
  static constexpr std::size_t kFirstChunkSize = std::size_t{64} << 10;
  static constexpr std::size_t kLargestChunkSize = std::size_t{4} << 20;

  // Chunks come from io::LargeBuffer: the largest ones then sit on huge pages, so filling
  // them takes one page fault per 2 MiB instead of one per 4 KiB.
  struct StoredChunk {
    io::LargeBuffer data;
    std::size_t used = 0;
    std::size_t capacity = 0;
    std::uint64_t start = 0;  // the stream position of its first byte
  };

  std::vector<StoredChunk> chunks_;
  std::uint64_t finished_ = 0;  // objects whose head holds its payload CRC
  std::vector<std::uint64_t> offsets_;
  std::uint64_t data_length_ = 0;
  std::size_t next_chunk_size_ = kFirstChunkSize;
  std::optional<Oversized> first_oversized_;
};

}  // namespace kalvex::writer
