// Reader: an open container file and the immutable state built from it.
//
// Open() maps the file read-only, checks header and (optionally) the whole-file CRC,
// and parses the index section once into a key list, a parallel offset list and a hash
// index. After Open() returns the state never changes, so one Reader may be used from
// any number of threads at once. Payload views returned by the fetch calls point into
// the mapping and stay valid for the Reader's lifetime; callers copy what they keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"

namespace kalvex::reader {

using Bytes = std::span<const std::uint8_t>;

class Reader {
 public:
  // Opens `path` (UTF-8, kept exactly as given for messages and stats). The descriptor
  // is closed before returning; on failure everything acquired is released.
  static Result<std::unique_ptr<Reader>> Open(std::string path, bool verify);

  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Header values as stored, and the file size N at open.
  const std::string& path() const;
  std::uint32_t num_keys() const;
  std::uint32_t num_objects() const;
  std::uint64_t index_offset() const;
  std::uint64_t file_size() const;
  std::uint32_t file_crc32() const;

  // Key list and offset list, in index-section order (duplicates kept).
  std::size_t entry_count() const;
  Bytes key(std::size_t i) const;
  std::uint64_t object_offset(std::size_t i) const;

  // One hash-index probe: the object offset of the last entry holding `key`.
  std::optional<std::uint64_t> Find(Bytes key) const;

  // The payload of the record at `offset`, after both bounds checks (no CRC check).
  Result<Bytes> FetchObject(std::uint64_t offset) const;

  // Positions [first, last) of the keys that begin with `prefix`.
  std::pair<std::size_t, std::size_t> PrefixRange(Bytes prefix) const;

  // Payloads of entries [first, last), in order. The first failing fetch is the error.
  Result<std::vector<Bytes>> FetchRange(std::size_t first, std::size_t last) const;

  // The payload of each distinct object offset once, in first-occurrence order.
  Result<std::vector<Bytes>> FetchUniqueObjects() const;

  // Whole-file CRC, then bounds and payload CRC of each distinct referenced object.
  Status Verify() const;

 private:
  Reader();
  struct State;
  std::unique_ptr<State> state_;
};

// "0x" followed by exactly eight lowercase hexadecimal digits.
std::string FormatCrc(std::uint32_t crc);

}  // namespace kalvex::reader
