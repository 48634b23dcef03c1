// ObjectList: a writer's payloads, stored already framed as the data section.
//
// Each AddObject appends the object's complete record (length, payload CRC-32, payload)
// to a byte stream kept in heap chunks, so that the chunks, concatenated in order, are
// exactly the data section of the file a build writes. A build hands the chunks to the
// file as they are: payloads are copied once, when added, and never again (a spooled
// list's chunks go to the file as they fill; see "Spooled").
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
// Alongside the stream the list keeps each object's file offset (ObjectOffsets: 4 bytes
// per object while a block of them spans less than 4 GiB).
// The CRC-32 of the whole stream is not kept running: extending it record by record would
// run the CRC engine a second time on every short payload, where one pass over the
// chunks at build time runs it on long inputs, at several times the speed.
//
// Spooled. A list given a Spool (SpoolTo) moves its records to the spool's file once more
// than its hold of them is in memory: whole chunks, each with its payload CRCs filled and
// folded into the running CRC-32 of what the file holds (chunk-sized inputs keep the CRC
// engine fast), written where the data section puts them, then freed. The file holds a
// prefix of the stream (spooled() bytes), memory the rest. A payload in the file is read
// back (pread) into a scratch buffer when it must be compared or compressed. A list
// without a spool never touches a file and runs as it always has.
//
// The file failing never fails an add. Chunks the spool cannot take stay in memory and go
// with the next ones (the budget is overrun, nothing is lost); a build in place, which
// needs them all in the file, reports the failure. A payload that cannot be read back
// cannot be compared or compressed: the list keeps the first such error (failure()), and
// every build of the writer reports it rather than write a store that may differ from
// the one its adds describe.
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
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/format/layout.h"
#include "core/io/large_buffer.h"
#include "core/result.h"
#include "core/writer/object_offsets.h"
#include "core/writer/spool.h"

namespace kalvex::writer {

class ObjectList {
 public:
  struct Oversized {
    std::uint64_t obj_id;
    std::uint64_t length;
  };

  // Where a reader of spooled payloads keeps the bytes it read: a window of the stream.
  // One per thread (the compressor's threads each have their own).
  struct Scratch {
    std::vector<std::uint8_t> bytes;
    std::uint64_t begin = 0;  // the stream position of bytes[0]
    std::uint64_t end = 0;    // begin + the bytes that hold data
  };

  ObjectList() = default;
  ObjectList(const ObjectList&) = delete;
  ObjectList& operator=(const ObjectList&) = delete;

  // From now on, records go to `spool` whenever more than `hold` bytes of chunks are in
  // memory (0: each chunk once full). REQUIRES: `spool` outlives the list's use of it.
  void SpoolTo(Spool* spool, std::uint64_t hold) {
    spool_ = spool;
    hold_ = hold;
  }

  // Copies the payload's record into the stream and returns its Object ID. On
  // std::bad_alloc the list is unchanged.
  std::uint64_t Add(std::span<const std::uint8_t> payload);

  std::uint64_t size() const { return offsets_.size(); }
  // The payload of object `obj_id`: where it lies in memory (a search over the chunks),
  // bytes that stay until the next Add (which may spool and free their chunk; without a
  // spool they never move), or for a spooled record, a copy read into `scratch`, good
  // until its next use. Nothing when the read fails (kept as failure()).
  // REQUIRES: obj_id < size(), and no payload too long to keep came before or with it.
  std::optional<std::span<const std::uint8_t>> Payload(std::uint64_t obj_id, Scratch& scratch) const;
  // The same with the list's own scratch: one thread at a time.
  std::optional<std::span<const std::uint8_t>> Payload(std::uint64_t obj_id) const {
    return Payload(obj_id, scratch_);
  }
  // The first read of the spool that failed, if any: a build must not go on.
  Status failure() const;
  // Where the record of object `obj_id` starts in memory, found without reading the
  // record; nullptr when it is spooled. REQUIRES: as for Payload.
  const std::uint8_t* BufferedRecordAt(std::uint64_t obj_id) const;
  // REQUIRES: obj_id < size()
  std::uint64_t offset(std::uint64_t obj_id) const { return offsets_[obj_id]; }
  // Every object's file offset, indexed by Object ID.
  const ObjectOffsets& offsets() const { return offsets_; }
  // Length of the data section: the stream's length.
  std::uint64_t data_length() const { return data_length_; }
  // The record of object `obj_id`: its stream position and its length.
  // REQUIRES: as for Payload.
  std::uint64_t record_length(std::uint64_t obj_id) const {
    return (obj_id + 1 < offsets_.size() ? offsets_[obj_id + 1] - format::kDataOffset : data_length_) -
           (offsets_[obj_id] - format::kDataOffset);
  }
  // CRC-32 of the whole stream, the start of the whole-file CRC: the spooled part's CRC,
  // kept as it was written, extended over the chunks in memory.
  // REQUIRES: FinishRecords() since the last Add.
  std::uint32_t DataCrc() const;
  // CRC-32 of the stream's bytes [begin, begin + length), extending `crc`: read back from
  // the spool where they were spooled (a failed read is kept as failure()).
  std::uint32_t ExtendCrc(std::uint32_t crc, std::uint64_t begin, std::uint64_t length) const;

  // Spooled: the stream's first spooled() bytes are in the spool's file (at data-section
  // offsets), the rest in the chunks.
  std::uint64_t spooled() const { return spooled_; }
  // Writes every chunk, the last one too, to the spool: the whole stream is then in its
  // file. On failure the list is as it was. REQUIRES: a spool.
  Status SpoolAll();
  // The descriptor holding the spooled bytes (-1 when none).
  int spool_fd() const;
  // The first object, in Object ID order, whose payload the format cannot hold.
  const std::optional<Oversized>& first_oversized() const { return first_oversized_; }

  // Writes the payload CRC of every record added since the last call into its head.
  // REQUIRES: !first_oversized()
  void FinishRecords();

  // The stream from spooled() on, in order. REQUIRES: !first_oversized(), and
  // FinishRecords() since the last Add.
  std::size_t chunk_count() const { return chunks_.size(); }
  std::span<const std::uint8_t> chunk(std::size_t i) const {
    return {chunks_[i].data.data(), chunks_[i].used};
  }
  // The stream position of chunk(i)'s first byte.
  std::uint64_t chunk_start(std::size_t i) const { return chunks_[i].start; }

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

  // Writes the first `count` chunks to the spool and frees them (the largest buffer is
  // kept for the next chunk). On failure the list is as it was.
  Status SpoolChunks(std::size_t count);
  // Keeps the first failed read of the spool, or the first record read back damaged. The
  // compressing threads read payloads at once, so the first is kept under a lock.
  void ReadFailed(int errnum) const;
  void Keep(StoreError failure) const;

  std::vector<StoredChunk> chunks_;  // the stream from spooled_ on
  std::uint64_t finished_ = 0;  // objects whose head holds its payload CRC
  Spool* spool_ = nullptr;
  std::uint64_t hold_ = 0;
  std::uint64_t spooled_ = 0;          // stream bytes in the spool's file
  std::uint32_t spooled_crc_ = 0;      // their CRC-32
  std::uint64_t buffered_bytes_ = 0;   // capacity of the chunks in memory
  io::LargeBuffer spare_;              // a freed chunk's buffer, for the next chunk
  std::size_t spare_capacity_ = 0;
  mutable Scratch scratch_;
  mutable std::mutex failure_lock_;
  mutable std::optional<StoreError> read_failure_;  // guarded by failure_lock_
  ObjectOffsets offsets_;
  std::uint64_t data_length_ = 0;
  std::size_t next_chunk_size_ = kFirstChunkSize;
  std::optional<Oversized> first_oversized_;
};

}  // namespace kalvex::writer
