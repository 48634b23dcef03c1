#include "core/writer/file_sink.h"

#include <climits>

#include <algorithm>

#include "core/io/file.h"

namespace kalvex::writer {

namespace {
// Linux takes at most this many pieces per gather call.
constexpr std::size_t kMaxQueued = IOV_MAX;
// The page cache's largest folio on x86-64 and most arm64 systems (one PMD entry).
constexpr std::uint64_t kFolioSize = std::uint64_t{2} << 20;
}  // namespace

FileSink::FileSink(int fd, std::size_t staging_capacity)
    : fd_(fd), staging_(new std::uint8_t[staging_capacity]), capacity_(staging_capacity), limit_(staging_capacity) {
  queue_.reserve(kMaxQueued);
}

bool FileSink::AppendSlow(const std::uint8_t* data, std::size_t n) {
  while (n > 0 && !error_) {
    const std::size_t take = std::min(n, limit_ - used_);
    std::memcpy(staging_.get() + used_, data, take);
    used_ += take;
    queued_ += take;
    data += take;
    n -= take;
    if (n > 0) WriteQueued();
  }
  return !error_;
}

void FileSink::SetLimit() {
  const std::uint64_t end = written_ + queued_;
  const std::uint64_t boundary = (end + (capacity_ - used_)) / kFolioSize * kFolioSize;
  limit_ = boundary > end ? used_ + static_cast<std::size_t>(boundary - end) : capacity_;
}

void FileSink::CloseSegment() {
  if (used_ > segment_start_) {
    queue_.push_back(iovec{staging_.get() + segment_start_, used_ - segment_start_});
    segment_start_ = used_;
  }
}

bool FileSink::AppendReference(std::span<const std::uint8_t> bytes) {
  if (error_) return false;
  if (bytes.empty()) return true;
  CloseSegment();
  if (queue_.size() == kMaxQueued) {
    if (!WriteQueued()) return false;
  }
  queue_.push_back(iovec{const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
  queued_ += bytes.size();
  SetLimit();
  if (queue_.size() == kMaxQueued) return WriteQueued();
  return true;
}

bool FileSink::WriteQueued() {
  if (error_) return false;
  CloseSegment();
  if (const auto failure = io::WriteAll(fd_, queue_.data(), queue_.size())) {
    if (failure->errnum != 0) {
      error_ = StoreError::IO(OsErrorText(failure->errnum), failure->errnum);
    } else {
      // A call that wrote nothing: say whether it stalled on our copy or the caller's.
      const auto* base = static_cast<const std::uint8_t*>(failure->stalled_at);
      const bool buffered = base >= staging_.get() && base < staging_.get() + capacity_;
      error_ = StoreError::IO(buffered ? "failed to write the buffered data"
                                       : "failed to write whole buffer");
    }
    return false;
  }
  queue_.clear();
  written_ += queued_;
  queued_ = 0;
  used_ = 0;
  segment_start_ = 0;
  SetLimit();
  return true;
}

bool FileSink::AppendCopy(int from, std::uint64_t offset, std::uint64_t length) {
  if (!WriteQueued()) return false;
  if (const auto failure = io::CopyAll(from, offset, fd_, length)) {
    error_ = failure->errnum != 0 ? StoreError::IO(OsErrorText(failure->errnum), failure->errnum)
                                  : StoreError::IO("failed to copy the spooled records");
    return false;
  }
  written_ += length;
  SetLimit();
  return true;
}

Status FileSink::Finish() {
  WriteQueued();
  if (error_) return *error_;
  return {};
}

}  // namespace kalvex::writer
