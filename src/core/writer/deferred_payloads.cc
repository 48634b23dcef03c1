#include "core/writer/deferred_payloads.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>
#include <vector>

#include "core/io/scratch_file.h"
#include "core/same_bytes.h"

namespace kalvex::writer {

namespace {
// A pass over the file reads it through this many records at a time.
constexpr std::size_t kReadRecords = std::size_t{1} << 16;
// When the records do not fit the sort's share at once, they are sorted a group of hash
// ranges at a time: ranges of the hash's top bits, counted in a first pass.
constexpr unsigned kRangeBits = 16;
}  // namespace

void DeferredPayloads::Reserve() {
  if (!buffer_) buffer_.reset(new Record[kBufferRecords]);
}

void DeferredPayloads::Append(std::uint64_t hash, std::uint64_t id) noexcept {
  buffer_[buffered_++] = Record{hash, id};
  ++count_;
  if (buffered_ == kBufferRecords) Flush();
}

std::uint64_t DeferredPayloads::memory_usage() const { return buffer_ ? kBufferRecords * sizeof(Record) : 0; }

void DeferredPayloads::Flush() noexcept {
  const std::size_t n = std::exchange(buffered_, 0);
  if (n == 0 || failure_) return;
  try {
    if (file_.get() < 0) {
      Result<io::FileDescriptor> opened = io::OpenScratchFile(directory_);
      if (!opened.ok()) {
        failure_ = opened.take_error();
        return;
      }
      file_ = std::move(opened).value();
    }
    if (const auto failed = io::WriteAll(file_.get(), buffer_.get(), n * sizeof(Record))) {
      failure_ = StoreError::IO("scratch file: " + (failed->errnum != 0 ? OsErrorText(failed->errnum)
                                                                         : std::string("nothing written")),
                                failed->errnum, io::ScratchDirectory(directory_));
      return;
    }
    written_ += n;
  } catch (const std::bad_alloc&) {
    failure_ = StoreError::IO("scratch file: " + OsErrorText(ENOMEM), ENOMEM);
  }
}

Status DeferredPayloads::Read(Record* out, std::size_t n, std::uint64_t first) const {
  if (const auto failed = io::ReadAllAt(file_.get(), out, n * sizeof(Record), first * sizeof(Record))) {
    return StoreError::IO("scratch file: " + (*failed != 0 ? OsErrorText(*failed) : std::string("unexpected end")),
                          *failed, io::ScratchDirectory(directory_));
  }
  return {};
}

Result<ObjectAliases> DeferredPayloads::Resolve(const ObjectList& objects, std::uint64_t memory_bytes) {
  Flush();
  if (failure_) return *failure_;
  if (written_ < 2) return ObjectAliases();

  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  // The records of one sort, by hash: in each run of equal hashes, by id, each object
  // is compared with the earlier distinct payloads of its run (almost always one).
  const auto find_repeats = [&](std::vector<Record>& records) -> Status {
    std::sort(records.begin(), records.end(),
              [](const Record& a, const Record& b) { return a.hash != b.hash ? a.hash < b.hash : a.id < b.id; });
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> originals;
    for (std::size_t begin = 0, end = 0; begin < records.size(); begin = end) {
      for (end = begin + 1; end < records.size() && records[end].hash == records[begin].hash;) ++end;
      if (end - begin < 2) continue;
      originals.clear();
      for (std::size_t i = begin; i < end; ++i) {
        // The file is this writer's own, but what comes back from a disk is checked before
        // it indexes anything.
        if (records[i].id >= objects.size()) {
          return StoreError::IO("scratch file: a record names object " + std::to_string(records[i].id) + " of " +
                                std::to_string(objects.size()));
        }
        const auto payload = objects.Payload(records[i].id);
        if (!payload) return objects.failure();
        bool repeated = false;
        for (const auto& [original, bytes] : originals) {
          if (SameBytes(*payload, bytes)) {
            pairs.emplace_back(static_cast<std::uint32_t>(records[i].id), static_cast<std::uint32_t>(original));
            repeated = true;
            break;
          }
        }
        if (!repeated) originals.emplace_back(records[i].id, std::vector<std::uint8_t>(payload->begin(), payload->end()));
      }
    }
    return {};
  };
  // Every record with its range in [low, high) (of kRangeBits top bits), read in order.
  std::vector<Record> chunk;
  const auto read_ranges = [&](std::uint64_t low, std::uint64_t high, std::vector<Record>& into) -> Status {
    chunk.resize(std::min<std::uint64_t>(written_, kReadRecords));
    for (std::uint64_t first = 0; first < written_; first += chunk.size()) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), written_ - first));
      if (Status read = Read(chunk.data(), n, first); !read.ok()) return read;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t range = chunk[i].hash >> (64 - kRangeBits);
        if (range >= low && range < high) into.push_back(chunk[i]);
      }
    }
    return {};
  };

  // Records a sort holds: each pass reads the whole file, so a share too small for even
  // this many would take passes by the thousand.
  constexpr std::uint64_t kMinSortRecords = 1024;
  const std::uint64_t fit = std::max<std::uint64_t>(memory_bytes / sizeof(Record), kMinSortRecords);
  std::vector<Record> records;
  if (written_ <= fit) {
    records.resize(static_cast<std::size_t>(written_));
    if (Status read = Read(records.data(), records.size(), 0); !read.ok()) return read.take_error();
    if (Status done = find_repeats(records); !done.ok()) return done.take_error();
  } else {
    // Equal payloads have equal hashes, so a range is never split: one that alone holds
    // more than fits is sorted whole (it takes one payload repeated very often).
    std::vector<std::uint64_t> counts(std::size_t{1} << kRangeBits);
    chunk.resize(kReadRecords);
    for (std::uint64_t first = 0; first < written_; first += chunk.size()) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), written_ - first));
      if (Status read = Read(chunk.data(), n, first); !read.ok()) return read.take_error();
      for (std::size_t i = 0; i < n; ++i) ++counts[chunk[i].hash >> (64 - kRangeBits)];
    }
    for (std::uint64_t low = 0; low < counts.size();) {
      std::uint64_t high = low;
      std::uint64_t held = 0;
      while (high < counts.size() && (high == low || held + counts[high] <= fit)) held += counts[high++];
      records.clear();
      records.reserve(static_cast<std::size_t>(held));
      if (Status read = read_ranges(low, high, records); !read.ok()) return read.take_error();
      if (Status done = find_repeats(records); !done.ok()) return done.take_error();
      low = high;
    }
  }
  return ObjectAliases(std::move(pairs), objects.size());
}

}  // namespace kalvex::writer
