#include "core/writer/spilled_slots.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/mapped_index_layout.h"
#include "core/io/scratch_file.h"

namespace kalvex::writer {

namespace {
constexpr std::uint64_t kMinBucketBytes = std::uint64_t{1} << 20;
constexpr std::size_t kMaxBucketBits = 12;  // 4096 buffers of 64 KiB at most
constexpr std::size_t kOutBytes = std::size_t{1} << 20;

StoreError WriteError(const io::WriteFailure& failure) {
  return StoreError::IO("index scratch file: " +
                            (failure.errnum != 0 ? OsErrorText(failure.errnum) : std::string("nothing written")),
                        failure.errnum);
}

// Writes the slots in order through a buffer, zeros included, and takes their CRC.
class SlotWriter {
 public:
  explicit SlotWriter(int fd) : fd_(fd), buffer_(new std::uint8_t[kOutBytes]) {}

  Status Put(std::uint64_t slot_value) {
    if (used_ == kOutBytes) {
      if (Status flushed = Flush(); !flushed.ok()) return flushed;
    }
    StoreBe64(buffer_.get() + used_, slot_value);
    used_ += format::kSlotSize;
    ++written_;
    return {};
  }
  // Empty slots up to (not including) slot `end`.
  Status ZerosUpTo(std::uint64_t end) {
    while (written_ < end) {
      if (Status put = Put(0); !put.ok()) return put;
    }
    return {};
  }
  Status Flush() {
    crc_ = crc32::Extend(crc_, buffer_.get(), used_);
    if (const auto failure = io::WriteAll(fd_, buffer_.get(), used_)) return WriteError(*failure);
    used_ = 0;
    return {};
  }
  std::uint64_t written() const { return written_; }
  std::uint32_t crc() const { return crc_; }

 private:
  int fd_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  std::uint32_t crc_ = 0;
};
}  // namespace

bool SpilledSlots::Needed(std::size_t n, std::uint64_t memory_limit) {
  return memory_limit != 0 && n * sizeof(Entry) > memory_limit / 4;
}

SpilledSlots::SpilledSlots(std::size_t n, std::uint64_t memory_limit, std::string directory)
    : n_(n), directory_(std::move(directory)) {
  const std::uint64_t bucket_bytes = std::max(kMinBucketBytes, memory_limit / 8);
  const std::uint64_t buckets = std::bit_ceil((n * sizeof(Entry) + bucket_bytes - 1) / bucket_bytes);
  bucket_bits_ = static_cast<unsigned>(std::min<std::size_t>(std::countr_zero(std::max<std::uint64_t>(buckets, 1)),
                                                             kMaxBucketBits));
  buffers_.resize(std::size_t{1} << bucket_bits_);
  for (Arrival& a : buffers_) a.entries.reset(new Entry[kBufferEntries]);
  chunks_.resize(buffers_.size());
}

SpilledSlots::SpilledSlots(SpilledSlots&&) noexcept = default;
SpilledSlots& SpilledSlots::operator=(SpilledSlots&&) noexcept = default;
SpilledSlots::~SpilledSlots() = default;

void SpilledSlots::Flush(std::size_t bucket) {
  Arrival& a = buffers_[bucket];
  const std::size_t count = std::exchange(a.count, 0);
  if (!status_.ok() || count == 0) return;
  if (arrivals_.get() < 0) {
    Result<io::FileDescriptor> file = io::OpenScratchFile(directory_);
    if (!file.ok()) {
      status_ = file.take_error();
      return;
    }
    arrivals_ = std::move(file).value();
  }
  if (const auto failure = io::WriteAll(arrivals_.get(), a.entries.get(), count * sizeof(Entry))) {
    status_ = WriteError(*failure);
    return;
  }
  chunks_[bucket].push_back(Chunk{arrivals_end_, count});
  arrivals_end_ += count * sizeof(Entry);
}

Result<SpilledSlots::Table> SpilledSlots::Finish() {
  for (std::size_t b = 0; b < buffers_.size(); ++b) Flush(b);
  buffers_.clear();
  if (!status_.ok()) return status_.error();
  Table table;
  table.capacity = format::SlotCapacityFor(n_);
  Result<io::FileDescriptor> file = io::OpenScratchFile(directory_);
  if (!file.ok()) return file.take_error();
  table.file = std::move(file).value();
  if (table.capacity == 0) return table;  // no keys: no slots

  SlotWriter out(table.file.get());
  std::vector<Entry> bucket;
  std::uint64_t next = 0;  // the first slot after the entries placed so far
  for (const std::vector<Chunk>& chunks : chunks_) {
    std::uint64_t count = 0;
    for (const Chunk& chunk : chunks) count += chunk.count;
    bucket.resize(count);
    Entry* at = bucket.data();
    for (const Chunk& chunk : chunks) {
      if (const auto failed = io::ReadAllAt(arrivals_.get(), at, chunk.count * sizeof(Entry), chunk.offset)) {
        return StoreError::IO("index scratch file: " + (*failed != 0 ? OsErrorText(*failed) : std::string("unexpected end")),
                              *failed);
      }
      at += chunk.count;
    }
    // Hash order, and of equal hashes place order, as the table in memory places them.
    std::sort(bucket.begin(), bucket.end(), [](const Entry& a, const Entry& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.place < b.place;
    });
    for (const Entry& entry : bucket) {
      const std::uint64_t slot = std::max(format::SlotHome(entry.hash, table.capacity), next);
      if (Status zeros = out.ZerosUpTo(slot); !zeros.ok()) return zeros.take_error();
      if (Status put = out.Put(format::SlotTag(entry.hash) | entry.place); !put.ok()) return put.take_error();
      next = slot + 1;
    }
  }
  table.slot_count = std::max(next, table.capacity) + 1;
  if (Status zeros = out.ZerosUpTo(table.slot_count); !zeros.ok()) return zeros.take_error();
  if (Status flushed = out.Flush(); !flushed.ok()) return flushed.take_error();
  table.crc = out.crc();
  arrivals_.Close();
  return table;
}

}  // namespace kalvex::writer
