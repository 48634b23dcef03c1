// KeyRuns: the keys a writer has moved out of memory, as sorted runs in scratch files.
//
// A writer with a memory budget keeps its key map under a share of it (MustSpill): when
// the next key could pass that share, the map's entries go out in key order as one run and
// the map starts empty. A run holds distinct keys, each with the Object ID it had when the
// run was written (the map already resolved a key repeated before the spill). A key may
// recur in a later run, or in the map: the latest one is the key's assignment, the
// writer's rule that the last assignment wins. RunMerge (merged_keys.h) reads the runs
// back in key order under that rule.
//
// A run is a scratch file (io/scratch_file.h) of records back to back in ascending key
// order: key length (2 bytes), key bytes, Object ID (8 bytes), in host byte order, since
// the file lives and dies with this process. Beside it stays a sample in memory: a key
// about every kSampleBytes of records, with its record's offset, so whether a run holds a
// key takes a binary search and one read of the records up to the next sampled key.
//
// At most kMaxRuns runs are kept: the spill that would make one more first merges those
// there are into one. A build's merge then reads few files, each through a buffer of
// useful size, and the descriptors held stay few.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/file.h"
#include "core/result.h"
#include "core/writer/key_map.h"

namespace kalvex::writer {

class KeyRuns {
 public:
  struct Run {
    io::FileDescriptor file;  // unnamed (io::OpenScratchFile)
    std::string directory;    // where the file lies: what its errors name
    std::uint64_t bytes = 0;
    std::uint64_t records = 0;
    // Sample i: the key of the record at file offset sample_offsets[i], which is
    // sample_keys[sample_ends[i - 1], sample_ends[i]) (from 0 for i = 0).
    std::vector<std::uint64_t> sample_offsets;
    std::vector<std::uint64_t> sample_ends;
    std::vector<std::uint8_t> sample_keys;

    std::uint64_t memory_usage() const {
      return (sample_offsets.capacity() + sample_ends.capacity()) * sizeof(std::uint64_t) + sample_keys.capacity();
    }
  };

  // Record layout: what a reader of the runs decodes.
  static constexpr std::size_t kLengthSize = 2;
  static constexpr std::size_t kObjectIdSize = 8;
  static constexpr std::size_t kMaxRecordSize = kLengthSize + 0xFFFF + kObjectIdSize;

  static constexpr std::size_t kMaxRuns = 16;
  static constexpr std::size_t kSampleBytes = 8192;

  // Whether the map, given one key more, could pass the keys' share of `memory_limit` at
  // its peak: the map itself, its table growing, or its sort at a spill. The share is half
  // the budget, less what the writer's other tables (`other_bytes`) take past a quarter of
  // it, but never below an eighth. Always false without a budget (0).
  bool MustSpill(const KeyMap& map, std::uint64_t memory_limit, std::uint64_t other_bytes) const;

  // Writes the map's entries as the newest run, in a scratch file in `directory` (empty:
  // the system's temporary directory), and clears the map. Fails with KalvIOError when the
  // file cannot be made or written; then the map and the runs are as they were. May throw
  // std::bad_alloc, leaving both as they were too.
  Status Spill(KeyMap& map, std::string_view directory);

  // Whether some run holds `key`. Fails with KalvIOError when a run cannot be read.
  Result<bool> Contains(std::span<const std::uint8_t> key) const;

  bool empty() const { return runs_.empty(); }
  const std::vector<Run>& runs() const { return runs_; }
  // Records in all runs: at least the distinct keys among them.
  std::uint64_t records() const { return records_; }
  // Bytes the samples take.
  std::uint64_t memory_usage() const;

  // Reads n bytes of `run` at `offset`. Fails with KalvIOError "key run: {os error text}"
  // naming the run's directory.
  static Status Read(const Run& run, void* out, std::size_t n, std::uint64_t offset);

  // Bytes of read buffer a merge gives each run within `budget`: at least one whole record.
  static std::size_t BufferBytes(std::uint64_t budget, std::size_t sources);

 private:
  std::vector<Run> runs_;
  std::uint64_t records_ = 0;
};

}  // namespace kalvex::writer
