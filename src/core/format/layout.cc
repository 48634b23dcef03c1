#include "core/format/layout.h"

#include <cstring>

#include "core/format/crc32.h"
#include "core/format/endian.h"

namespace kalvex::format {

void Header::EncodeTo(std::uint8_t out[kEncodedLength]) const {
  std::memset(out, 0, kEncodedLength);
  std::memcpy(out, magic.data(), magic.size());
  out[kVersionPos] = version;
  StoreBe32(out + kNumKeysPos, num_keys);
  StoreBe32(out + kNumObjectsPos, num_objects);
  StoreBe64(out + kIndexOffsetPos, index_offset);
  StoreBe64(out + kDataOffsetPos, kDataOffset);
  StoreBe32(out + kFileCrcPos, file_crc32);
}

Header Header::DecodeFrom(const std::uint8_t in[kEncodedLength]) {
  Header h;
  std::memcpy(h.magic.data(), in, h.magic.size());
  h.version = in[kVersionPos];
  h.num_keys = LoadBe32(in + kNumKeysPos);
  h.num_objects = LoadBe32(in + kNumObjectsPos);
  h.index_offset = LoadBe64(in + kIndexOffsetPos);
  h.file_crc32 = LoadBe32(in + kFileCrcPos);
  return h;
}

void EncodeRecordHead(std::uint8_t out[kRecordHeadSize], std::uint32_t length, std::uint32_t crc) {
  StoreBe32(out, length);
  StoreBe32(out + 4, crc);
}

void AppendObjectRecord(std::string& out, std::span<const std::uint8_t> payload) {
  std::uint8_t head[kRecordHeadSize];
  EncodeRecordHead(head, static_cast<std::uint32_t>(payload.size()),
                   crc32::Value(payload.data(), payload.size()));
  out.append(reinterpret_cast<const char*>(head), sizeof head);
  out.append(reinterpret_cast<const char*>(payload.data()), payload.size());
}

void AppendIndexEntry(std::string& out, std::span<const std::uint8_t> key, std::uint64_t object_offset) {
  std::uint8_t length[2];
  std::uint8_t offset[8];
  StoreBe16(length, static_cast<std::uint16_t>(key.size()));
  StoreBe64(offset, object_offset);
  out.append(reinterpret_cast<const char*>(length), sizeof length);
  out.append(reinterpret_cast<const char*>(key.data()), key.size());
  out.append(reinterpret_cast<const char*>(offset), sizeof offset);
}

}  // namespace kalvex::format
