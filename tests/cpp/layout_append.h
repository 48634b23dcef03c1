// Test helpers that lay out records and index entries in a std::string through the
// production encoders of core/format/layout.h, so the tests that build files by hand
// check the very bytes the writer emits.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace kalvex::format {

// The Out of EncodeIndexEntry, appending to a string.
struct StringOut {
  std::string& out;
  bool Append(const std::uint8_t* data, std::size_t n) {
    out.append(reinterpret_cast<const char*>(data), n);
    return true;
  }
};

// Appends payload length, payload CRC-32 and payload.
inline void AppendObjectRecord(std::string& out, std::span<const std::uint8_t> payload) {
  std::uint8_t head[kRecordHeadSize];
  EncodeRecordHead(head, static_cast<std::uint32_t>(payload.size()),
                   crc32::Value(payload.data(), payload.size()));
  StringOut sink{out};
  sink.Append(head, sizeof head);
  sink.Append(payload.data(), payload.size());
}

// Appends key length, key bytes and object offset.
inline void AppendIndexEntry(std::string& out, std::span<const std::uint8_t> key, std::uint64_t object_offset) {
  StringOut sink{out};
  EncodeIndexEntry(sink, key.data(), key.size(), object_offset);
}

}  // namespace kalvex::format
