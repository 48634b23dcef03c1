// EntryTable: the key list and the offset list of an open reader, in one allocation.
//
// The index section is copied verbatim into a private arena, so each entry keeps its
// file form (see format/layout.h), read through the format's entry decoders. That holds one
// copy of every key, and puts a key and its object offset side by side, so a lookup
// that has found the key reads the offset from the same cache line. Entry i is located
// through a 32-bit position per entry plus one 64-bit base per block of entries (see
// Position()), 4 bytes per key instead of 8.
//
// Immutable after Parse(); safe to read from many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/format/layout.h"
#include "core/io/large_buffer.h"
#include "core/result.h"

namespace kalvex::reader {

class EntryTable {
 public:
  EntryTable() = default;
  EntryTable(EntryTable&&) noexcept = default;
  EntryTable& operator=(EntryTable&&) noexcept = default;

  // Parses `count` index entries of `file` (length `size`) from position `start` on,
  // checking each against the end of the file. Fails with KalvCorruptError
  // "index section truncated (key_len)" or "index section truncated (key + offset)".
  // Memory is reserved for at most what the rest of the file can hold, so a count
  // far beyond it fails with the truncation error instead of exhausting memory.
  static Result<EntryTable> Parse(const std::uint8_t* file, std::uint64_t size,
                                  std::uint64_t start, std::uint32_t count);

  std::size_t size() const { return count_; }
  const std::uint8_t* arena() const { return arena_.data(); }
  std::uint64_t arena_size() const { return arena_size_; }

  // Arena position of entry i. REQUIRES: i < size().
  std::uint64_t Position(std::size_t i) const {
    const std::uint64_t base = block_base_[i >> kBlockShift];
    return base + static_cast<std::uint32_t>(low_position()[i] - static_cast<std::uint32_t>(base));
  }

  // Decoders of the entry at an arena position. Unchecked: `position` came from
  // Position() or from the hash index, both of which hold only parsed entries.
  std::span<const std::uint8_t> KeyAt(std::uint64_t position) const {
    return format::EntryKey(arena_.data() + position);
  }
  std::uint64_t ObjectOffsetAt(std::uint64_t position) const {
    return format::EntryObjectOffset(arena_.data() + position);
  }

  std::span<const std::uint8_t> key(std::size_t i) const { return KeyAt(Position(i)); }
  std::uint64_t object_offset(std::size_t i) const { return ObjectOffsetAt(Position(i)); }
  // The same value, read where entry i ends (the next one starts: entries lie back to
  // back), so that a walk over many entries does not wait on each key length first.
  std::uint64_t object_offset_from_end(std::size_t i) const {
    const std::uint64_t end = i + 1 < count_ ? Position(i + 1) : arena_size_;
    return format::EntryObjectOffsetBefore(arena_.data() + end);
  }

  // Bytes the table holds in memory, for the reader's footprint.
  std::size_t MemoryUsage() const;

 private:
  // An entry takes at most EntrySize(65535) bytes, so a block of 2^15 entries spans less
  // than 2^31 bytes: inside a block the low 32 bits of a position, taken relative to the
  // block's first entry, never wrap twice.
  static constexpr unsigned kBlockShift = 15;

  const std::uint32_t* low_position() const {
    return reinterpret_cast<const std::uint32_t*>(low_position_.data());
  }

  io::LargeBuffer arena_;
  std::uint64_t arena_size_ = 0;
  io::LargeBuffer low_position_;  // std::uint32_t per entry
  std::vector<std::uint64_t> block_base_;
  std::size_t count_ = 0;
};

}  // namespace kalvex::reader
