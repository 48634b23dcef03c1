// A read-only shared mapping of a whole container file, made from a descriptor of the
// file layer (core/io/file.h).
//
// A move-only owner. A reader keeps only the mapping: the descriptor is closed once the
// index is loaded. Declaring the descriptor before the mapping in a scope makes a failed
// open release them in the right order (unmap, then close).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::reader {

class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { Unmap(); }

  // The file's bytes; size() is the file length N at open (possibly 0, though a
  // zero-length file still holds a one-byte mapping).
  const std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }

  // Hands back this process's page-table entries for the whole pages inside
  // [first, first + length), after their bytes have been copied elsewhere: they stop
  // counting towards the resident size, and a later read simply faults them in again
  // from the page cache. REQUIRES: first <= size() and length <= size() - first.
  void DropPages(std::uint64_t first, std::uint64_t length) const;

  // Asks that the file's pages from `first` (rounded down to 2 MiB) to its end be read in,
  // where the file system can, as 2 MiB folios, which the mapping takes whole: one TLB
  // entry for 512 pages. For tables read at random, a few places per lookup, whose reads
  // would otherwise walk the page tables almost every time (and under virtualisation a
  // walk costs about as much as the memory access). A file already in the page cache
  // keeps the folios its writes made (see writer/file_sink.h). Pages outside the range
  // keep the default, which maps such folios whole too: advising them against huge pages
  // would split the writer's folios into 4 KiB mappings.
  // REQUIRES: first <= size().
  void AdviseHugePages(std::uint64_t first) const;

 private:
  friend Result<Mapping> MapWholeFile(const io::FileDescriptor& fd);
  void Unmap();

  const std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
  std::size_t mapped_length_ = 0;
};

// fstat, then mmap(PROT_READ, MAP_SHARED) of the whole file.
// Fails with KalvIOError "mmap failed: {os error text}" (a directory fails here).
Result<Mapping> MapWholeFile(const io::FileDescriptor& fd);

}  // namespace kalvex::reader
