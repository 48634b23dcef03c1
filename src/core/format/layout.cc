#include "core/format/layout.h"

#include <cstring>

#include "core/format/endian.h"

namespace kalvex::format {

void Header::EncodeTo(std::uint8_t out[kEncodedLength]) const {
  std::memset(out, 0, kEncodedLength);
  std::memcpy(out, magic.data(), magic.size());
  out[kVersionPos] = version;
  out[kFeaturesPos] = features;
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
  h.features = in[kFeaturesPos];
  h.num_keys = LoadBe32(in + kNumKeysPos);
  h.num_objects = LoadBe32(in + kNumObjectsPos);
  h.index_offset = LoadBe64(in + kIndexOffsetPos);
  h.file_crc32 = LoadBe32(in + kFileCrcPos);
  return h;
}

}  // namespace kalvex::format
