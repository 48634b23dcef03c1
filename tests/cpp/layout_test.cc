// The container layout byte for byte: the empty store, the one-object example file, and
// round trips of every encoded field at the edges of its width.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/format/compression_layout.h"
#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/layout.h"
#include "layout_append.h"

namespace kalvex::format {
namespace {

std::span<const std::uint8_t> Span(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::uint32_t Crc(const std::string& s) { return crc32::Value(Span(s).data(), s.size()); }

std::vector<std::uint8_t> EncodedHeader(const Header& h) {
  std::vector<std::uint8_t> out(kHeaderSize);
  h.EncodeTo(out.data());
  return out;
}

// The store with one object, "hi", under the keys "a" and "b". The CRCs are zlib's:
// 0xd8932aac of "hi", 0xfd22baaf of bytes 40..71.
const std::vector<std::uint8_t> kExampleFile = {
    'K',  'L',  'V',  'X',  0x02, 0x00, 0x00, 0x00,  // magic, version, reserved
    0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,  // num_keys, num_objects
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32,  // index_offset 50
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28,  // data_offset 40
    0xfd, 0x22, 0xba, 0xaf, 0x00, 0x00, 0x00, 0x00,  // file_crc32, reserved
    0x00, 0x00, 0x00, 0x02, 0xd8, 0x93, 0x2a, 0xac, 'h', 'i',                         // record
    0x00, 0x01, 'a',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28,                   // entry "a"
    0x00, 0x01, 'b',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28};                  // entry "b"

TEST(Layout, EmptyStoreIsExactlyTheFortyByteHeader) {
  Header h;
  h.file_crc32 = crc32::Value(nullptr, 0);
  const std::vector<std::uint8_t> expected = {
      'K', 'L', 'V', 'X', 2, 0, 0, 0,   // magic, version, reserved
      0,   0,   0,   0,   0, 0, 0, 0,   // num_keys, num_objects
      0,   0,   0,   0,   0, 0, 0, 40,  // index_offset
      0,   0,   0,   0,   0, 0, 0, 40,  // data_offset
      0,   0,   0,   0,   0, 0, 0, 0};  // file_crc32, reserved
  EXPECT_EQ(EncodedHeader(h), expected);
}

TEST(Layout, OneObjectUnderTwoKeysIsTheSeventyTwoByteExample) {
  std::string data;
  AppendObjectRecord(data, Span("hi"));
  std::string index;
  AppendIndexEntry(index, Span("a"), kDataOffset);
  AppendIndexEntry(index, Span("b"), kDataOffset);

  Header h;
  h.num_keys = 2;
  h.num_objects = 1;
  h.index_offset = kHeaderSize + data.size();
  // Data section, then index section: one running CRC over bytes 40 to the end.
  h.file_crc32 = crc32::Extend(crc32::Extend(0, Span(data).data(), data.size()), Span(index).data(), index.size());

  std::vector<std::uint8_t> file = EncodedHeader(h);
  file.insert(file.end(), data.begin(), data.end());
  file.insert(file.end(), index.begin(), index.end());
  EXPECT_EQ(file, kExampleFile);
}

TEST(Layout, DecodingTheExampleGivesItsFields) {
  const Header h = Header::DecodeFrom(kExampleFile.data());
  EXPECT_EQ(h.magic, kMagic);
  EXPECT_EQ(h.version, kVersion);
  EXPECT_EQ(h.num_keys, 2u);
  EXPECT_EQ(h.num_objects, 1u);
  EXPECT_EQ(h.index_offset, 50u);
  EXPECT_EQ(h.file_crc32, 0xfd22baafu);
  EXPECT_EQ(RecordPayloadLength(kExampleFile.data() + 40), 2u);
  EXPECT_EQ(RecordPayloadCrc(kExampleFile.data() + 40), 0xd8932aacu);
}

TEST(Layout, FeaturesByteRoundTripsAtItsPosition) {
  Header header = Header::DecodeFrom(kExampleFile.data());
  EXPECT_EQ(header.features, 0);
  header.features = kFeatureMappedIndex;
  std::uint8_t out[kHeaderSize];
  header.EncodeTo(out);
  EXPECT_EQ(out[kFeaturesPos], kFeatureMappedIndex);
  EXPECT_EQ(Header::DecodeFrom(out).features, kFeatureMappedIndex);
}

TEST(Layout, DecoderIgnoresReservedBytesAndDataOffset) {
  std::vector<std::uint8_t> file(kExampleFile.begin(), kExampleFile.begin() + kHeaderSize);
  for (std::size_t pos : {6, 7, 36, 37, 38, 39}) file[pos] = 0xA5;
  StoreBe64(file.data() + kDataOffsetPos, 0xFFFFFFFFFFFFFFFFu);
  const Header clean = Header::DecodeFrom(kExampleFile.data());
  const Header dirty = Header::DecodeFrom(file.data());
  EXPECT_EQ(EncodedHeader(dirty), EncodedHeader(clean));
}

TEST(Layout, EveryByteChangeAfterTheHeaderChangesTheFileCrc) {
  const std::string body(kExampleFile.begin() + kHeaderSize, kExampleFile.end());
  const std::uint32_t stored = LoadBe32(kExampleFile.data() + kFileCrcPos);
  ASSERT_EQ(Crc(body), stored);
  for (std::size_t pos = 0; pos < body.size(); ++pos) {
    for (int flip = 1; flip < 256; ++flip) {
      std::string changed = body;
      changed[pos] = static_cast<char>(changed[pos] ^ flip);
      ASSERT_NE(Crc(changed), stored) << "offset " << kHeaderSize + pos << " xor " << flip;
    }
  }
}

class HeaderRoundTripTest : public testing::TestWithParam<Header> {};

TEST_P(HeaderRoundTripTest, DecodeGivesBackEveryEncodedField) {
  const Header in = GetParam();
  const std::vector<std::uint8_t> bytes = EncodedHeader(in);
  EXPECT_EQ(LoadBe64(bytes.data() + kDataOffsetPos), kDataOffset);
  const Header out = Header::DecodeFrom(bytes.data());
  EXPECT_EQ(out.magic, kMagic);
  EXPECT_EQ(out.version, kVersion);
  EXPECT_EQ(out.num_keys, in.num_keys);
  EXPECT_EQ(out.num_objects, in.num_objects);
  EXPECT_EQ(out.index_offset, in.index_offset);
  EXPECT_EQ(out.file_crc32, in.file_crc32);
  EXPECT_EQ(out.features, in.features);
  EXPECT_EQ(bytes[kFeaturesPos], in.features);
}

Header MakeHeader(std::uint32_t keys, std::uint32_t objects, std::uint64_t index_offset, std::uint32_t crc) {
  Header h;
  h.features = static_cast<std::uint8_t>(crc & 0xFF);
  h.num_keys = keys;
  h.num_objects = objects;
  h.index_offset = index_offset;
  h.file_crc32 = crc;
  return h;
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, HeaderRoundTripTest,
    testing::Values(MakeHeader(0, 0, 40, 0), MakeHeader(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFu, 0xFFFFFFFFu),
                    MakeHeader(0x80000000u, 0x7FFFFFFFu, 0x8000000000000000u, 0x80000001u),
                    MakeHeader(1, 0x01020304u, 0x0000000100000000u, 0x01020304u),
                    MakeHeader(0x00FF00FFu, 0xFF00FF00u, 0x00000000FFFFFFFFu, 1)));

class RecordTest : public testing::TestWithParam<std::size_t> {};

TEST_P(RecordTest, RecordIsLengthCrcAndPayload) {
  std::string payload(GetParam(), '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  std::string out = "prefix";  // appending leaves what was there
  AppendObjectRecord(out, Span(payload));
  ASSERT_EQ(out.size(), 6 + kRecordHeadSize + payload.size());
  const auto* record = reinterpret_cast<const std::uint8_t*>(out.data()) + 6;
  EXPECT_EQ(out.substr(0, 6), "prefix");
  EXPECT_EQ(RecordPayloadLength(record), payload.size());
  EXPECT_EQ(RecordPayloadCrc(record), Crc(payload));
  EXPECT_EQ(out.substr(6 + kRecordHeadSize), payload);
  if (payload.empty()) {
    EXPECT_EQ(RecordPayloadCrc(record), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(PayloadLengths, RecordTest, testing::Values(0, 1, 255, 256, 65535, 65536, 1 << 20));

struct LocateCase {
  std::uint64_t offset;
  RecordFit fit;
};

class LocateRecordTest : public testing::TestWithParam<LocateCase> {};

// The example file is 72 bytes with its record "hi" at 40: a head needs 8 bytes before
// the end, a payload its stated length after the head, and no offset may wrap around.
TEST_P(LocateRecordTest, HeadAndPayloadMustLieInsideTheFile) {
  const LocateCase c = GetParam();
  const RecordLocation where = LocateRecord(kExampleFile.data(), kExampleFile.size(), c.offset);
  EXPECT_EQ(where.fit, c.fit) << c.offset;
  if (c.fit == RecordFit::kFits) {
    EXPECT_EQ(where.payload_length, RecordPayloadLength(kExampleFile.data() + c.offset));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, LocateRecordTest,
    testing::Values(LocateCase{40, RecordFit::kFits}, LocateCase{64, RecordFit::kFits},
                    LocateCase{65, RecordFit::kHeadOutside}, LocateCase{72, RecordFit::kHeadOutside},
                    LocateCase{73, RecordFit::kHeadOutside},
                    LocateCase{~std::uint64_t{0}, RecordFit::kHeadOutside},
                    LocateCase{~std::uint64_t{0} - 7, RecordFit::kHeadOutside},
                    // Bytes 0..7 read as length 0x4b4c5658: far past the end.
                    LocateCase{0, RecordFit::kPayloadOutside}));

struct EntryCase {
  std::size_t key_length;
  std::uint64_t object_offset;
};

class IndexEntryTest : public testing::TestWithParam<EntryCase> {};

TEST_P(IndexEntryTest, EntryIsKeyLengthKeyAndOffset) {
  const EntryCase c = GetParam();
  std::string key(c.key_length, '\0');
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<char>(0xFF - i % 256);  // 0xFF and 0x00 alike
  std::string out;
  AppendIndexEntry(out, Span(key), c.object_offset);
  ASSERT_EQ(out.size(), kEntryOverhead + key.size());
  const auto* entry = reinterpret_cast<const std::uint8_t*>(out.data());
  EXPECT_EQ(LoadBe16(entry), key.size());
  EXPECT_EQ(out.substr(2, key.size()), key);
  EXPECT_EQ(LoadBe64(entry + 2 + key.size()), c.object_offset);
}

INSTANTIATE_TEST_SUITE_P(Extremes, IndexEntryTest,
                         testing::Values(EntryCase{0, 40}, EntryCase{1, 0}, EntryCase{255, 0xFFFFFFFFu},
                                         EntryCase{256, 0x100000000u}, EntryCase{65535, 0xFFFFFFFFFFFFFFFFu},
                                         EntryCase{65535, 0x0102030405060708u}));

TEST(Endian, BigEndianAtEveryWidthEdgeAndAnyAlignment) {
  std::uint8_t buffer[16];
  for (std::size_t offset = 0; offset < 8; ++offset) {
    std::uint8_t* p = buffer + offset;
    for (int k = 1; k <= 64; ++k) {
      const std::uint64_t edge = k == 64 ? 0 : std::uint64_t{1} << k;
      for (std::uint64_t v : {edge - 1, edge, edge + 1}) {
        if (k <= 16) {
          StoreBe16(p, static_cast<std::uint16_t>(v));
          EXPECT_EQ(LoadBe16(p), static_cast<std::uint16_t>(v));
        }
        if (k <= 32) {
          StoreBe32(p, static_cast<std::uint32_t>(v));
          EXPECT_EQ(LoadBe32(p), static_cast<std::uint32_t>(v));
        }
        StoreBe64(p, v);
        EXPECT_EQ(LoadBe64(p), v);
      }
    }
    StoreBe64(p, 0x0102030405060708u);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + 8), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  }
}

// A compressed value's head: its bytes at each size's edges, round trips, and the heads a
// reader must take for damage (cut short, past a block's bound).
TEST(ValueHead, BytesRoundTripsAndDamage) {
  std::uint8_t out[kMaxValueHeadSize];
  const auto encoded = [&](StoredKind kind, std::uint32_t length) {
    return std::vector<std::uint8_t>(out, out + EncodeValueHead(kind, length, out));
  };
  EXPECT_EQ(encoded(StoredKind::kRaw, 0), (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(encoded(StoredKind::kFrame, 0), (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(encoded(StoredKind::kBlock, 1), (std::vector<std::uint8_t>{2}));
  EXPECT_EQ(encoded(StoredKind::kBlock, 238), (std::vector<std::uint8_t>{0xEF}));
  EXPECT_EQ(encoded(StoredKind::kBlock, 239), (std::vector<std::uint8_t>{0xF0, 0}));
  EXPECT_EQ(encoded(StoredKind::kBlock, 3822), (std::vector<std::uint8_t>{0xFD, 0xFF}));
  EXPECT_EQ(encoded(StoredKind::kBlock, 3823), (std::vector<std::uint8_t>{0xFE, 0, 0}));
  EXPECT_EQ(encoded(StoredKind::kBlock, kMaxBlockValue), (std::vector<std::uint8_t>{0xFF, 0xF1, 0x11}));
  for (const std::uint32_t length : {1u, 238u, 239u, 3822u, 3823u, 65535u, kMaxBlockValue}) {
    const std::vector<std::uint8_t> bytes = encoded(StoredKind::kBlock, length);
    ValueHead head{};
    ASSERT_TRUE(DecodeValueHead(bytes.data(), bytes.size(), head));
    EXPECT_EQ(head.kind, StoredKind::kBlock);
    EXPECT_EQ(head.block_length, length);
    EXPECT_EQ(head.size, bytes.size());
    EXPECT_FALSE(DecodeValueHead(bytes.data(), bytes.size() - 1, head));  // cut short
  }
  ValueHead head{};
  for (const std::vector<std::uint8_t>& damaged : std::vector<std::vector<std::uint8_t>>{
           {}, {0xF0}, {0xFE, 0}, {0xFF, 0xF1, 0x12}, {0xFF, 0xFF, 0xFF}}) {
    EXPECT_FALSE(DecodeValueHead(damaged.data(), damaged.size(), head));
  }
}

}  // namespace
}  // namespace kalvex::format
