// SpilledSlots: the mapped index's slot table (format/slot_table.h) built through scratch
// files, for a writer whose memory budget the table would pass.
//
// In memory, the table's arrivals take 16 bytes per key and the table 10 more, held until
// the commit: at tens of millions of keys, more than a budget of a few hundred MiB. Here
// each arrival goes, through a small buffer, to a bucket by the top bits of its hash (so
// buckets in order are hash order), all buckets in one scratch file; Finish then takes the
// buckets one at a time, sorts one in memory and places its entries, writing the slots in
// order to a second scratch file, from which a build copies them. The places are those of
// SlotTable::Builder::Finish for distinct keys (each entry at its home, or at the slot after
// the entry before it), so the bytes are the same whichever way the table was built.
//
// Not thread-safe. Move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::writer {

class SpilledSlots {
 public:
  // The table of a file written by a finished spill: slot_count slots, big-endian.
  struct Table {
    io::FileDescriptor file;
    std::uint64_t capacity = 0;
    std::uint64_t slot_count = 0;
    std::uint32_t crc = 0;  // CRC-32 of the slot bytes
  };

  // Whether a table for n keys goes through files under `memory_limit` (0: never): when its
  // arrivals alone would take more than a quarter of it.
  static bool Needed(std::size_t n, std::uint64_t memory_limit);

  // For n entries, sorting buckets of at most about memory_limit / 8 bytes, in scratch
  // files in `directory` (empty: the system's temporary directory). Throws std::bad_alloc.
  SpilledSlots(std::size_t n, std::uint64_t memory_limit, std::string directory);
  SpilledSlots(SpilledSlots&&) noexcept;
  SpilledSlots& operator=(SpilledSlots&&) noexcept;
  ~SpilledSlots();

  // As SlotTable::Builder::Add. A failure to write is kept and reported by Finish.
  void Add(std::uint64_t hash, std::uint64_t place) {
    Arrival& a = buffers_[Bucket(hash)];
    a.entries[a.count++] = Entry{hash, place};
    if (a.count == kBufferEntries) Flush(Bucket(hash));
  }

  // The table. Fails with KalvIOError when a scratch file cannot be made, written or read.
  Result<Table> Finish();

 private:
  struct Entry {
    std::uint64_t hash;
    std::uint64_t place;
  };
  static constexpr std::size_t kBufferEntries = 4096;  // 64 KiB per bucket
  struct Arrival {
    std::unique_ptr<Entry[]> entries;
    std::size_t count = 0;
  };
  struct Chunk {
    std::uint64_t offset;
    std::uint64_t count;
  };

  std::size_t Bucket(std::uint64_t hash) const { return bucket_bits_ == 0 ? 0 : hash >> (64 - bucket_bits_); }
  void Flush(std::size_t bucket);

  std::uint64_t n_;
  std::string directory_;
  unsigned bucket_bits_ = 0;
  std::vector<Arrival> buffers_;
  std::vector<std::vector<Chunk>> chunks_;  // each bucket's flushed pieces in the file
  io::FileDescriptor arrivals_;             // opened by the first flush
  std::uint64_t arrivals_end_ = 0;
  Status status_;                           // the first failure, if any
};

}  // namespace kalvex::writer
