// FileSink: writes one file front to back, copying small pieces into a staging buffer
// and handing large caller-owned buffers to the operating system as they are.
//
// Pieces leave in the order they were given. Referenced buffers and filled parts of the
// staging buffer are queued as one gather list and written with as few calls as
// possible (io::WriteAll: interrupted calls repeated, partial ones continued, a call that
// writes nothing a failure); the staging buffer is reused only once everything queued
// has been written.
//
// Writes end on 2 MiB file offsets wherever the staging buffer allows: a file system that
// keeps its page cache in large folios builds 2 MiB folios from writes that cover whole
// aligned 2 MiB ranges, and a reader's mapping of such a folio takes one TLB entry where
// 4 KiB pages take 512. A reader of the file then looks keys up with far fewer page
// walks, which under virtualisation cost about as much as the memory access itself.
//
// The first failure is kept and every later call does nothing and reports it again, so
// the encoders feeding a sink need not check each piece. The descriptor is not owned.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/result.h"

namespace kalvex::writer {

class FileSink {
 public:
  // REQUIRES: staging_capacity > 0; a multiple of 2 MiB keeps every write aligned. May throw std::bad_alloc. The descriptor may be
  // given later (set_fd), so that the buffer exists before the file does.
  FileSink(int fd, std::size_t staging_capacity);
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Copies the bytes into the staging buffer, writing out what is queued when it fills
  // (up to its limit).
  // Returns false once the sink has failed.
  bool Append(const std::uint8_t* data, std::size_t n) {
    if (n <= limit_ - used_) {
      std::memcpy(staging_.get() + used_, data, n);
      used_ += n;
      queued_ += n;
      return !error_;
    }
    return AppendSlow(data, n);
  }

  // Queues `bytes` without copying. REQUIRES: they stay valid and unchanged until
  // Finish() returns. Returns false once the sink has failed.
  bool AppendReference(std::span<const std::uint8_t> bytes);

  // Writes out everything queued, then copies `length` bytes of the file open at `from`,
  // starting at `offset`, after them (io::CopyAll: by the kernel where it can). Returns
  // false once the sink has failed.
  bool AppendCopy(int from, std::uint64_t offset, std::uint64_t length);

  // Writes out everything queued. The sink's first failure, if any.
  Status Finish();

  void set_fd(int fd) { fd_ = fd; }
  // The file offset the descriptor's position is at when the sink starts writing (0
  // unless told), which the 2 MiB alignment of its writes counts from.
  void set_start(std::uint64_t offset) {
    written_ = offset;
    SetLimit();
  }

 private:
  bool AppendSlow(const std::uint8_t* data, std::size_t n);
  void CloseSegment();
  // Sets limit_: the staging fill that ends the queued bytes on the last 2 MiB file
  // offset the staging buffer reaches, or its capacity if it reaches none.
  void SetLimit();
  bool WriteQueued();

  int fd_;
  std::unique_ptr<std::uint8_t[]> staging_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::size_t limit_;  // the staging buffer is written out when it holds this much
  std::size_t segment_start_ = 0;  // staging bytes before this are already queued
  std::uint64_t written_ = 0;      // the file offset the next write starts at
  std::uint64_t queued_ = 0;       // bytes queued (staged or referenced), not yet written
  std::vector<iovec> queue_;
  std::optional<StoreError> error_;
};

}  // namespace kalvex::writer
