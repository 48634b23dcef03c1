// ValueDecoder: the values of a compressed store (format/compression_layout.h) decoded
// for a reader: its dictionary prepared once, at open, and each stored value decoded
// into a buffer of the caller's.
//
// Open costs what the dictionary costs (about its size in work, up to 112 KiB for the
// dictionaries builds train), nothing per key. The decoder is immutable afterwards and
// serves any number of threads: each thread decodes with a context of its own, made at
// its first value and kept for the thread's life (one for all readers).
//
// Nothing stored is trusted: a head, a frame header, a frame or a block that does not
// hold what the file says is KalvCorruptError, never a wrong value (each decoded payload's
// record CRC is checked first), and a head or frame claiming more than the largest value
// the writer recorded is refused before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/format/compression_layout.h"
#include "core/format/layout.h"
#include "core/result.h"

struct ZSTD_DDict_s;

namespace kalvex::reader {

class ValueDecoder {
 public:
  // The dictionary record ending at `record_end` in `file` (`size` bytes): its trailer,
  // its place and its payload CRC are checked, then the dictionary is prepared.
  // KalvCorruptError when any of it does not hold. May throw std::bad_alloc.
  static Result<ValueDecoder> Open(const std::uint8_t* file, std::uint64_t size, std::uint64_t record_end);

  // The length of the value whose stored payload (head and body) is `stored`: read from
  // the head, or from a frame's header.
  Result<std::size_t> DecodedSize(std::span<const std::uint8_t> stored) const;
  // Decodes `stored` into out[0, length): length must be what DecodedSize gave. `stored`
  // must be a record's payload in the file (its head, whose CRC is checked, lies before
  // it). May throw std::bad_alloc (a thread's first decoding context).
  Status Decode(std::span<const std::uint8_t> stored, std::uint8_t* out, std::size_t length) const;

  std::uint64_t dictionary_size() const { return trailer_.dictionary_length; }
  const std::uint8_t* dictionary_data() const { return file_ + record_offset_ + format::kRecordHeadSize; }
  std::uint64_t original_bytes() const { return trailer_.original_bytes; }
  std::uint64_t stored_bytes() const { return trailer_.stored_bytes; }
  // Where the dictionary's record starts, and its bytes (head, payload).
  std::uint64_t record_offset() const { return record_offset_; }
  std::uint64_t record_size() const;

 private:
  ValueDecoder() = default;
  // The file offset of the record whose payload is `stored`, for messages.
  std::uint64_t OffsetOf(std::span<const std::uint8_t> stored) const;
  StoreError Damaged(std::span<const std::uint8_t> stored, const std::string& why) const;

  const std::uint8_t* file_ = nullptr;
  std::uint64_t record_offset_ = 0;
  format::DictionaryTrailer trailer_;
  std::shared_ptr<ZSTD_DDict_s> dictionary_;  // null for an empty dictionary
};

}  // namespace kalvex::reader
