#include "core/writer/key_runs.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/io/scratch_file.h"
#include "core/same_bytes.h"
#include "core/writer/key_order.h"
#include "core/writer/merged_keys.h"

namespace kalvex::writer {

namespace {

// Writes go out in pieces of this size: few calls, little memory.
constexpr std::size_t kWriteBufferBytes = std::size_t{128} << 10;  // at least one whole record
// A merge of the runs into one, when there are too many, reads each through this much.
constexpr std::size_t kCompactionBufferBytes = std::size_t{256} << 10;

// -1, 0 or 1 as a is below, equal to or above b in key order.
int CompareKeys(const std::uint8_t* a, std::size_t a_length, const std::uint8_t* b, std::size_t b_length) {
  const std::size_t common = std::min(a_length, b_length);
  const int c = common == 0 ? 0 : std::memcmp(a, b, common);
  if (c != 0) return c < 0 ? -1 : 1;
  return a_length < b_length ? -1 : a_length > b_length ? 1 : 0;
}

// Appends records in key order to a fresh scratch file, sampling as it goes.
class RunWriter {
 public:
  RunWriter(io::FileDescriptor file, std::string_view directory) : buffer_(new std::uint8_t[kWriteBufferBytes]) {
    run_.file = std::move(file);
    run_.directory = io::ScratchDirectory(directory);
  }

  Status Add(std::span<const std::uint8_t> key, std::uint64_t obj_id) {
    const std::size_t record = KeyRuns::kLengthSize + key.size() + KeyRuns::kObjectIdSize;
    if (run_.records == 0 || run_.bytes - run_.sample_offsets.back() >= KeyRuns::kSampleBytes) {
      run_.sample_offsets.push_back(run_.bytes);
      run_.sample_keys.insert(run_.sample_keys.end(), key.begin(), key.end());
      run_.sample_ends.push_back(run_.sample_keys.size());
    }
    if (used_ + record > kWriteBufferBytes) {
      if (Status flushed = Flush(); !flushed.ok()) return flushed;
    }
    const std::uint16_t length = static_cast<std::uint16_t>(key.size());
    std::memcpy(buffer_.get() + used_, &length, sizeof length);
    if (!key.empty()) std::memcpy(buffer_.get() + used_ + KeyRuns::kLengthSize, key.data(), key.size());
    std::memcpy(buffer_.get() + used_ + KeyRuns::kLengthSize + key.size(), &obj_id, sizeof obj_id);
    used_ += record;
    run_.bytes += record;
    ++run_.records;
    return {};
  }

  Result<KeyRuns::Run> Finish() {
    if (Status flushed = Flush(); !flushed.ok()) return flushed.take_error();
    return std::move(run_);
  }

 private:
  Status Flush() {
    if (const auto failure = io::WriteAll(run_.file.get(), buffer_.get(), used_)) {
      return StoreError::IO("scratch file: " + (failure->errnum != 0 ? OsErrorText(failure->errnum)
                                                                     : std::string("nothing written")),
                            failure->errnum, run_.directory);
    }
    used_ = 0;
    return {};
  }

  KeyRuns::Run run_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace

bool KeyRuns::MustSpill(const KeyMap& map, std::uint64_t memory_limit, std::uint64_t other_bytes) const {
  // A run that would free less than its write buffer takes is not worth a file: below
  // that, a budget too small for its keys' fixed costs is passed rather than met with a
  // run per key.
  if (memory_limit == 0 || map.memory_usage() < kWriteBufferBytes) return false;
  const std::uint64_t rest = memory_limit / 4 * 3 > other_bytes ? memory_limit / 4 * 3 - other_bytes : 0;
  const std::uint64_t share = std::clamp(rest, memory_limit / 8, memory_limit / 2);
  // The sort of a spill takes its bytes beside the map; a growing table, beside it too,
  // for as long as it is copied. The two never meet.
  const std::uint64_t sort = (map.size_bound() + 1) * EntryOrder::kSortBytesPerEntry + kWriteBufferBytes;
  const std::uint64_t peak = std::max(map.PeakWithOneMore(), map.memory_usage() + sort);
  return peak + memory_usage() > share;
}

Status KeyRuns::Spill(KeyMap& map, std::string_view directory) {
  if (runs_.size() >= kMaxRuns) {
    // The runs merged into one, the newest assignment of each key kept: what they say
    // stays the same, in one file.
    Result<io::FileDescriptor> file = io::OpenScratchFile(directory);
    if (!file.ok()) return file.take_error();
    RunWriter out(std::move(file).value(), directory);
    RunMerge merge(*this, nullptr, nullptr, kCompactionBufferBytes);
    while (merge.Next()) {
      if (Status added = out.Add(merge.key(), merge.obj_id()); !added.ok()) return added;
    }
    if (!merge.status().ok()) return merge.status().error();
    Result<Run> merged = out.Finish();
    if (!merged.ok()) return merged.take_error();
    std::vector<Run> compacted;
    compacted.reserve(kMaxRuns + 1);
    compacted.push_back(std::move(merged).value());
    runs_ = std::move(compacted);
    records_ = runs_.front().records;
  }

  const KeyMap::EntryList& entries = map.entries();
  Result<io::FileDescriptor> file = io::OpenScratchFile(directory);
  if (!file.ok()) return file.take_error();
  Result<Run> run = [&]() -> Result<Run> {
    const EntryOrder order(entries);
    RunWriter out(std::move(file).value(), directory);
    for (std::size_t i = 0; i < order.size(); ++i) {
      order.PrefetchAhead(entries, i);
      const KeyMap::Entry& entry = entries[order[i]];
      if (Status added = out.Add({entry.key(), entry.length()}, entry.obj_id()); !added.ok()) return added.take_error();
    }
    return out.Finish();
  }();
  if (!run.ok()) return run.take_error();
  runs_.reserve(kMaxRuns + 1);
  runs_.push_back(std::move(run).value());
  records_ += runs_.back().records;
  map.Clear();
  return {};
}

Result<bool> KeyRuns::Contains(std::span<const std::uint8_t> key) const {
  std::vector<std::uint8_t> block;
  for (const Run& run : runs_) {
    // The last sample at or below the key: the key, if the run holds it, lies between it
    // and the next sample.
    const auto sample_key = [&](std::size_t i) {
      const std::uint64_t begin = i == 0 ? 0 : run.sample_ends[i - 1];
      return std::span<const std::uint8_t>(run.sample_keys.data() + begin, run.sample_ends[i] - begin);
    };
    std::size_t low = 0;
    std::size_t high = run.sample_offsets.size();  // samples [low, high) may be above the key
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      const auto s = sample_key(mid);
      if (CompareKeys(s.data(), s.size(), key.data(), key.size()) <= 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (low == 0) continue;  // below the run's first key
    const std::size_t sample = low - 1;
    const std::uint64_t begin = run.sample_offsets[sample];
    const std::uint64_t end = sample + 1 < run.sample_offsets.size() ? run.sample_offsets[sample + 1] : run.bytes;
    block.resize(end - begin);
    if (Status read = Read(run, block.data(), block.size(), begin); !read.ok()) return read.take_error();
    for (std::size_t at = 0; at < block.size();) {
      std::uint16_t length;
      std::memcpy(&length, block.data() + at, sizeof length);
      const std::uint8_t* stored = block.data() + at + kLengthSize;
      const int c = CompareKeys(stored, length, key.data(), key.size());
      if (c == 0) return true;
      if (c > 0) break;
      at += kLengthSize + length + kObjectIdSize;
    }
  }
  return false;
}

Status KeyRuns::Read(const Run& run, void* out, std::size_t n, std::uint64_t offset) {
  if (const auto failed = io::ReadAllAt(run.file.get(), out, n, offset)) {
    // A run is read only where it was written: an end short of that is the file's damage.
    return StoreError::IO("key run: " + (*failed != 0 ? OsErrorText(*failed) : std::string("unexpected end")), *failed,
                          run.directory);
  }
  return {};
}

std::uint64_t KeyRuns::memory_usage() const {
  std::uint64_t bytes = 0;
  for (const Run& run : runs_) bytes += run.memory_usage();
  return bytes;
}

std::size_t KeyRuns::BufferBytes(std::uint64_t budget, std::size_t sources) {
  constexpr std::size_t kLargest = std::size_t{4} << 20;
  const std::uint64_t each = sources == 0 ? kLargest : budget / sources;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(each, kMaxRecordSize, kLargest));
}

}  // namespace kalvex::writer
