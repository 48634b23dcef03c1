// Reader tests over hand-made container files: every open failure with its message,
// lookup bounds at the end of the file, duplicates, the prefix search against a
// brute-force model and the order of the deep check's findings.
#include "core/reader/reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/layout.h"
#include "layout_append.h"

namespace kalvex::reader {
namespace {

Bytes AsBytes(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }
std::string AsString(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// Lays out a container file the way the writer does, but lets a test put any offset in
// an entry, then damage single bytes.
class FileBuilder {
 public:
  // Appends an object record; returns its offset.
  std::uint64_t AddObject(const std::string& payload) {
    const std::uint64_t offset = format::kHeaderSize + data_.size();
    format::AppendObjectRecord(data_, AsBytes(payload));
    ++num_objects_;
    return offset;
  }
  void AddEntry(const std::string& key, std::uint64_t offset) {
    format::AppendIndexEntry(index_, AsBytes(key), offset);
    ++num_keys_;
  }

  // Header, data, index; file_crc32 sealed over bytes 40..end.
  std::string Build() const {
    std::string body = data_ + index_;
    format::Header header;
    header.num_keys = num_keys_;
    header.num_objects = num_objects_;
    header.index_offset = format::kHeaderSize + data_.size();
    header.file_crc32 = crc32::Value(AsBytes(body).data(), body.size());
    std::string file(format::kHeaderSize, '\0');
    header.EncodeTo(reinterpret_cast<std::uint8_t*>(file.data()));
    return file + body;
  }

 private:
  std::string data_;
  std::string index_;
  std::uint32_t num_keys_ = 0;
  std::uint32_t num_objects_ = 0;
};

void IncrementByte(std::string& file, std::size_t pos) { file[pos] = static_cast<char>(file[pos] + 1); }
void SetBe32(std::string& file, std::size_t pos, std::uint32_t v) { StoreBe32(file.data() + pos, v); }
void SetBe64(std::string& file, std::size_t pos, std::uint64_t v) { StoreBe64(file.data() + pos, v); }
void FixChecksum(std::string& file) {
  SetBe32(file, format::kFileCrcPos,
          crc32::Value(reinterpret_cast<const std::uint8_t*>(file.data()) + 40, file.size() - 40));
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reader_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Write(const std::string& bytes, const std::string& name = "store.klvx") {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    return path;
  }
  std::unique_ptr<Reader> MustOpen(const std::string& bytes, bool verify = true) {
    auto r = Reader::Open(Write(bytes), verify);
    EXPECT_TRUE(r.ok()) << r.error().Render();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string OpenError(const std::string& bytes, bool verify = true) {
    auto r = Reader::Open(Write(bytes), verify);
    return r.ok() ? "opened" : r.error().Render();
  }

  // "hi" shared by the keys "a" and "b": the 72-byte example store.
  static std::string TwoKeysOneObject() {
    FileBuilder b;
    const auto hi = b.AddObject("hi");
    b.AddEntry("a", hi);
    b.AddEntry("b", hi);
    return b.Build();
  }

  std::string dir_;
};

TEST_F(ReaderTest, TwoKeyStoreMatchesItsByteLayout) {
  const std::string file = TwoKeysOneObject();
  ASSERT_EQ(file.size(), 72u);
  EXPECT_EQ(file.substr(0, 8), std::string("KLVX\x02\0\0\0", 8));
  EXPECT_EQ(file.substr(40, 4), std::string("\0\0\0\x02", 4));
  EXPECT_EQ(file.substr(48), std::string("hi\0\x01" "a\0\0\0\0\0\0\0\x28\0\x01" "b\0\0\0\0\0\0\0\x28", 24));
  auto reader = MustOpen(file);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->num_keys(), 2u);
  EXPECT_EQ(reader->num_objects(), 1u);
  EXPECT_EQ(reader->index_offset(), 50u);
  EXPECT_EQ(reader->file_size(), 72u);
  EXPECT_EQ(*reader->Find(AsBytes("b")), 40u);
  EXPECT_EQ(AsString(reader->FetchObject(40).value()), "hi");
}

TEST_F(ReaderTest, MissingFileNamesThePathAsGivenAndTheOsError) {
  auto r = Reader::Open("no/such/dir/x.klvx", true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().Render(),
            "KalvIOError: cannot open no/such/dir/x.klvx: No such file or directory (os error 2)");
}

TEST_F(ReaderTest, PathWithZeroByteIsRefusedBeforeTheSystemSeesIt) {
  // Without the check, the system would open the file named by the part before the zero.
  const std::string path = Write(TwoKeysOneObject()) + std::string("\0tail", 5);
  auto r = Reader::Open(path, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().Render(),
            "KalvIOError: cannot open " + path + ": file name contained an unexpected NUL byte");
}

TEST_F(ReaderTest, DirectoryFailsAtTheMapping) {
  auto r = Reader::Open(dir_, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().Render(), "KalvIOError: mmap failed: No such device (os error 19)");
}

TEST_F(ReaderTest, FifoFailsInsteadOfWaitingForAWriter) {
  const std::string path = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  auto r = Reader::Open(path, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kIO);
  EXPECT_EQ(r.error().detail().rfind("mmap failed: ", 0), 0u) << r.error().detail();
}

TEST_F(ReaderTest, FilesShorterThanTheHeaderAreTooSmall) {
  const std::string header = FileBuilder().Build();
  for (std::size_t n : {0, 1, 4, 5, 39}) {
    EXPECT_EQ(OpenError(header.substr(0, n)), "KalvCorruptError: file too small for header") << n;
  }
}

TEST_F(ReaderTest, EmptyStoreIsExactlyAHeaderAndOpensWithVerification) {
  const std::string file = FileBuilder().Build();
  ASSERT_EQ(file.size(), 40u);
  auto reader = MustOpen(file);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->entry_count(), 0u);
  EXPECT_FALSE(reader->Find(AsBytes("")).has_value());
  EXPECT_EQ(reader->PrefixRange(AsBytes("")), std::make_pair(std::size_t{0}, std::size_t{0}));
  EXPECT_TRUE(reader->FetchUniqueObjects().value().empty());
  EXPECT_TRUE(reader->Verify().ok());
}

TEST_F(ReaderTest, EmptyRangeCrcIsZeroSoAnyOtherStoredValueFails) {
  std::string file = FileBuilder().Build();
  SetBe32(file, format::kFileCrcPos, 1);
  EXPECT_EQ(OpenError(file),
            "KalvCorruptError: file CRC32 mismatch  stored=0x00000001 computed=0x00000000");
  EXPECT_EQ(OpenError(file, false), "opened");
}

TEST_F(ReaderTest, BadMagicListsTheFourBytesInDecimal) {
  std::string file = TwoKeysOneObject();
  file.replace(0, 4, std::string(4, '\0'));
  EXPECT_EQ(OpenError(file), "KalvCorruptError: bad magic [0, 0, 0, 0]");
  file.replace(0, 4, "klvX");
  file[4] = 9;  // magic is checked before the version
  EXPECT_EQ(OpenError(file), "KalvCorruptError: bad magic [107, 108, 118, 88]");
}

TEST_F(ReaderTest, OtherVersionsFailBeforeAnyCrcIsComputed) {
  for (int version : {0, 1, 3, 255}) {
    std::string file = TwoKeysOneObject();
    file[format::kVersionPos] = static_cast<char>(version);
    IncrementByte(file, 60);  // a CRC check would fail, but the version comes first
    auto r = Reader::Open(Write(file), true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kVersion);
    EXPECT_EQ(r.error().Render(), "KalvVersionError: unsupported version " + std::to_string(version));
  }
}

TEST_F(ReaderTest, ReservedBytesAndDataOffsetAreIgnored) {
  std::string file = TwoKeysOneObject();
  file[5] = 'x';
  file[39] = 'y';
  SetBe64(file, format::kDataOffsetPos, 12345);
  EXPECT_EQ(OpenError(file), "opened");
}

TEST_F(ReaderTest, AlteredDataFailsOnlyWhenVerifying) {
  std::string file = TwoKeysOneObject();
  const std::uint32_t stored = LoadBe32(file.data() + format::kFileCrcPos);
  IncrementByte(file, 48);  // first payload byte
  const std::uint32_t computed =
      crc32::Value(reinterpret_cast<const std::uint8_t*>(file.data()) + 40, file.size() - 40);
  EXPECT_EQ(OpenError(file), "KalvCorruptError: file CRC32 mismatch  stored=" + FormatCrc(stored) +
                                 " computed=" + FormatCrc(computed));
  auto reader = MustOpen(file, false);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->file_crc32(), stored);
  EXPECT_EQ(AsString(reader->FetchObject(40).value()), "ii");
  EXPECT_EQ(reader->Verify().error().Render(), "KalvCorruptError: file CRC32 mismatch  stored=" +
                                                   FormatCrc(stored) + " computed=" + FormatCrc(computed));
}

TEST_F(ReaderTest, NumKeysOneTooManyRunsOutAtTheKeyLength) {
  std::string file = TwoKeysOneObject();
  SetBe32(file, format::kNumKeysPos, 3);
  EXPECT_EQ(OpenError(file), "KalvCorruptError: index section truncated (key_len)");
}

// The header is under no CRC: an index section that stops short of the end of the file
// would hide the entries after it, so it fails whatever the verify flag says.
TEST_F(ReaderTest, IndexSectionMustEndAtTheEndOfTheFile) {
  struct Case {
    std::uint32_t num_keys;
    std::uint64_t index_offset;
  };
  // The 72-byte store holds 2 keys from 50 on. At 40 stand 00 00 00 02 ...: a 0-byte key
  // with offset 0x0002xxxxxxxx6869, then the entry "a" up to 61.
  for (const Case c : {Case{1, 50}, Case{0, 50}, Case{0, 72 - 11}, Case{2, 40}, Case{1, 40}}) {
    std::string file = TwoKeysOneObject();
    SetBe32(file, format::kNumKeysPos, c.num_keys);
    SetBe64(file, format::kIndexOffsetPos, c.index_offset);
    const std::uint64_t end =
        c.index_offset == 40 ? 40 + 10 + 11 * (c.num_keys - 1) : c.index_offset + 11 * c.num_keys;
    EXPECT_EQ(OpenError(file, false),
              "KalvCorruptError: index section ends at " + std::to_string(end) + " but the file is 72 bytes (num_keys " +
                  std::to_string(c.num_keys) + ", index_offset " + std::to_string(c.index_offset) + ")");
  }
}

TEST_F(ReaderTest, HugeNumKeysEndsInTruncationWithoutReservingForIt) {
  std::string file = TwoKeysOneObject();
  SetBe32(file, format::kNumKeysPos, 0xFFFFFFFFu);
  EXPECT_EQ(OpenError(file), "KalvCorruptError: index section truncated (key_len)");
}

TEST_F(ReaderTest, EveryCutThroughTheLastEntryNamesWhatIsMissing) {
  const std::string whole = TwoKeysOneObject();  // last entry: bytes 61..71
  for (std::size_t kept = 0; kept < 11; ++kept) {
    const std::string file = whole.substr(0, 61 + kept);
    const char* part = kept < 2 ? "key_len" : "key + offset";
    EXPECT_EQ(OpenError(file, false), std::string("KalvCorruptError: index section truncated (") + part + ")")
        << kept;
  }
}

TEST_F(ReaderTest, KeyLengthRunningPastTheEndIsTruncation) {
  std::string file = TwoKeysOneObject();
  file[61] = '\xff';  // the last entry now claims a 65281-byte key
  EXPECT_EQ(OpenError(file, false), "KalvCorruptError: index section truncated (key + offset)");
}

TEST_F(ReaderTest, WithNoKeysIndexOffsetMustBeTheFileSize) {
  for (std::uint64_t wild : {std::uint64_t{0}, std::uint64_t{39}, std::uint64_t{41}, std::uint64_t{1} << 40,
                             ~std::uint64_t{0}}) {
    std::string file = FileBuilder().Build();
    SetBe64(file, format::kIndexOffsetPos, wild);
    EXPECT_EQ(OpenError(file), "KalvCorruptError: index section ends at " + std::to_string(wild) +
                                   " but the file is 40 bytes (num_keys 0, index_offset " +
                                   std::to_string(wild) + ")");
    std::string keyed = TwoKeysOneObject();
    SetBe64(keyed, format::kIndexOffsetPos, wild);
    EXPECT_EQ(OpenError(keyed).rfind("KalvCorruptError: index section ", 0), 0u) << wild;
  }
}

TEST_F(ReaderTest, FetchChecksBothBoundsAgainstTheFileEnd) {
  // The file ends with the object offset of the entry "z": read as a record head, its
  // top four bytes are the payload length.
  auto at = [&](std::uint64_t offset, std::uint32_t length_at_end) {
    FileBuilder b;
    b.AddEntry("k", offset);
    b.AddEntry("z", std::uint64_t{length_at_end} << 32);
    return b.Build();
  };
  const std::uint64_t n = 40 + 2 * 11;
  struct Case {
    std::uint64_t offset;
    std::uint32_t length;
    std::string expected;
  };
  const Case cases[] = {
      {n - 8, 0, ""},
      {n - 8, 1, "object at " + std::to_string(n - 8) + " extends beyond file end"},
      {n - 8, 0xFFFFFFFFu, "object at " + std::to_string(n - 8) + " extends beyond file end"},
      {n - 7, 0, "offset " + std::to_string(n - 7) + " out of bounds"},
      {n, 0, "offset " + std::to_string(n) + " out of bounds"},
      {n + 1, 0, "offset " + std::to_string(n + 1) + " out of bounds"},
      {~std::uint64_t{0}, 0, "offset 18446744073709551615 out of bounds"},
      {~std::uint64_t{0} - 7, 0, "offset 18446744073709551608 out of bounds"},
  };
  for (const Case& c : cases) {
    auto reader = MustOpen(at(c.offset, c.length));
    ASSERT_TRUE(reader);
    const auto offset = reader->Find(AsBytes("k"));
    ASSERT_EQ(*offset, c.offset);
    auto payload = reader->FetchObject(*offset);
    if (c.expected.empty()) {
      ASSERT_TRUE(payload.ok()) << payload.error().Render();
      EXPECT_TRUE(payload.value().empty());
    } else {
      ASSERT_FALSE(payload.ok());
      EXPECT_EQ(payload.error().Render(), "KalvCorruptError: " + c.expected);
    }
  }
}

TEST_F(ReaderTest, FetchIgnoresThePayloadCrcAndOffsetsIntoTheIndex) {
  FileBuilder b;
  const auto o = b.AddObject("payload");
  b.AddEntry("k", o);
  std::string file = b.Build();
  IncrementByte(file, 44);  // the stored payload CRC
  FixChecksum(file);
  auto reader = MustOpen(file);
  ASSERT_TRUE(reader);
  EXPECT_EQ(AsString(reader->FetchObject(o).value()), "payload");
  EXPECT_EQ(reader->Verify().error().Render(), "KalvCorruptError: object CRC32 mismatch at offset 40");
}

TEST_F(ReaderTest, CheckRecordsFailsEveryFetchOfAnAlteredPayload) {
  FileBuilder b;
  const auto good = b.AddObject("Widget");
  const auto bad = b.AddObject("Gadget");
  b.AddEntry("a", good);
  b.AddEntry("b", bad);
  std::string file = b.Build();
  file[bad + format::kRecordHeadSize] = 'X';  // the payload changes, its CRC does not
  const std::string path = Write(file);
  auto checked = Reader::Open(path, OpenOptions{false, true, true});
  ASSERT_TRUE(checked.ok());
  const Reader& r = *checked.value();
  EXPECT_EQ(AsString(r.FetchObject(good).value()), "Widget");
  const std::string mismatch = "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(bad);
  EXPECT_EQ(r.FetchObject(bad).error().Render(), mismatch);
  EXPECT_EQ(r.FetchRange(0, 2).error().Render(), mismatch);
  EXPECT_EQ(r.FetchUniqueObjects().error().Render(), mismatch);
  // Without the option the altered bytes are handed out, as the format's readers do.
  auto plain = Reader::Open(path, OpenOptions{false, true, false});
  EXPECT_EQ(AsString(plain.value()->FetchObject(bad).value()), "Xadget");
  // The index check of a store without a mapped index is the whole-file CRC.
  EXPECT_EQ(r.CheckIndex().error().Render().rfind("KalvCorruptError: file CRC32 mismatch", 0), 0u);
}

// An entry naming the middle of a record, or the index section, passes the checks of
// every object's CRC when the bytes there happen to hold one; the package's readers also
// require it to start a record of the chain, while the low-level module keeps the
// format's checks alone.
TEST_F(ReaderTest, PackageVerifyRequiresEveryEntryToStartARecord) {
  FileBuilder b;
  // A payload holding a whole empty record: 8 zero bytes (length 0, CRC 0).
  const auto outer = b.AddObject(std::string(8, '\0'));
  b.AddEntry("a", outer);
  b.AddEntry("b", outer + format::kRecordHeadSize);
  const std::string file = b.Build();
  const std::string path = Write(file);
  EXPECT_TRUE(Reader::Open(path, false, false).value()->Verify().ok());
  EXPECT_EQ(Reader::Open(path, false, true).value()->Verify().error().Render(),
            "KalvCorruptError: object offset 48 is not the start of an object record");
}

TEST_F(ReaderTest, RepeatedKeyKeepsBothEntriesAndLookupTakesTheLater) {
  FileBuilder b;
  const auto first = b.AddObject("first");
  const auto second = b.AddObject("second");
  b.AddEntry("a", first);
  b.AddEntry("k", first);
  b.AddEntry("k", second);
  b.AddEntry("z", first);
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->entry_count(), 4u);
  EXPECT_EQ(reader->object_offset(1), first);
  EXPECT_EQ(reader->object_offset(2), second);
  EXPECT_EQ(*reader->Find(AsBytes("k")), second);
  EXPECT_EQ(reader->PrefixRange(AsBytes("k")), std::make_pair(std::size_t{1}, std::size_t{3}));
}

TEST_F(ReaderTest, LookupMatchesWholeKeysOnly) {
  FileBuilder b;
  const auto o = b.AddObject("x");
  const std::string long_key(65535, 'q');
  for (const std::string& k : {std::string(), std::string("a"), std::string("a\0", 2), std::string("ab"), long_key}) {
    b.AddEntry(k, o);
  }
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  for (const std::string& k : {std::string(), std::string("a"), std::string("a\0", 2), std::string("ab"), long_key}) {
    EXPECT_TRUE(reader->Find(AsBytes(k)).has_value()) << k.size();
  }
  for (const std::string& k : {std::string("b"), std::string("abc"), std::string(65536, 'q'), std::string(65534, 'q')}) {
    EXPECT_FALSE(reader->Find(AsBytes(k)).has_value()) << k.size();
  }
}

// Keys of every length up to 40 are matched whole: a probe that differs in any one byte
// (first, last, or any between, where word-sized compares overlap) is not found.
TEST_F(ReaderTest, KeysDifferingInOneByteAreNeverConfused) {
  FileBuilder b;
  const auto o = b.AddObject("x");
  std::vector<std::string> keys;
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string k;
    for (std::size_t i = 0; i < n; ++i) k.push_back(static_cast<char>('a' + i % 26));
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  for (const auto& k : keys) b.AddEntry(k, o);
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  for (const auto& k : keys) {
    ASSERT_TRUE(reader->Find(AsBytes(k)).has_value()) << k.size();
    for (std::size_t i = 0; i < k.size(); ++i) {
      std::string near = k;
      near[i] = static_cast<char>(near[i] ^ 0x20);
      ASSERT_FALSE(reader->Find(AsBytes(near)).has_value()) << k.size() << " at " << i;
    }
  }
}

// Thousands of repeated keys in a table of many regions: each resolves to its last entry.
TEST_F(ReaderTest, RepeatedKeysInALargeIndexTakeTheirLastEntry) {
  FileBuilder b;
  for (int i = 0; i < 30000; ++i) {
    const std::string k = std::to_string(100000 + i);
    const int copies = 1 + i % 3;
    for (int c = 0; c < copies; ++c) b.AddEntry(k, static_cast<std::uint64_t>(i * 4 + c));
  }
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  for (int i = 0; i < 30000; ++i) {
    const std::string k = std::to_string(100000 + i);
    ASSERT_EQ(*reader->Find(AsBytes(k)), static_cast<std::uint64_t>(i * 4 + i % 3)) << k;
  }
}

// Entries that all hold one key take a short run of slots, often well before the last
// home a probe can start at; every such probe must still end inside the table. Each open
// draws fresh hash seeds, so the run lands somewhere else every time.
TEST_F(ReaderTest, ProbesBeyondAShortRunOfRepeatedEntriesEndInsideTheTable) {
  FileBuilder b;
  for (int i = 0; i < 3000; ++i) b.AddEntry("same", static_cast<std::uint64_t>(i));
  const auto file = b.Build();
  for (int open = 0; open < 20; ++open) {
    auto reader = MustOpen(file);
    ASSERT_TRUE(reader);
    ASSERT_EQ(*reader->Find(AsBytes("same")), 2999u);
    for (int i = 0; i < 20000; ++i) ASSERT_FALSE(reader->Find(AsBytes(std::to_string(i))).has_value());
  }
}

TEST_F(ReaderTest, ManyKeysAreAllFoundAndNoStrangerIs) {
  FileBuilder b;
  const auto shared = b.AddObject("s");
  std::vector<std::string> keys;
  for (int i = 0; i < 50000; ++i) keys.push_back("user:" + std::to_string(1000000 + i));
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 0; i < keys.size(); ++i) b.AddEntry(keys[i], i % 3 ? shared : 1000 + i);
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(*reader->Find(AsBytes(keys[i])), i % 3 ? shared : 1000 + i) << keys[i];
  }
  for (int i = 0; i < 50000; ++i) ASSERT_FALSE(reader->Find(AsBytes("user:" + std::to_string(i))).has_value());
  std::size_t key_bytes = 0;
  for (const auto& k : keys) key_bytes += k.size();
  // Within 24 bytes per key, give or take the spare slot, the block bases and the
  // rounding of three tables up to whole pages.
  EXPECT_LE(reader->MemoryUsage(), key_bytes + 24 * keys.size() + 64 + 3 * 4096);
}

TEST_F(ReaderTest, PrefixRangeAgreesWithAFilterOverTheSortedKeys) {
  // A small alphabet with 0x00 and 0xff makes prefixes, equal runs and high bytes common.
  const std::string alphabet("\x00" "ab\xff", 4);
  std::mt19937 rng(7);
  auto random_key = [&](std::size_t max_length) {
    std::string k(rng() % (max_length + 1), '\0');
    for (char& c : k) c = alphabet[rng() % alphabet.size()];
    return k;
  };
  // std::string compares as memcmp does: unsigned bytes, then length. That is key order.
  auto less = std::less<std::string>();
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> keys;
    const std::size_t count = rng() % 40;
    for (std::size_t i = 0; i < count; ++i) keys.push_back(random_key(4));
    std::sort(keys.begin(), keys.end(), less);  // repeats stay in: the reader keeps them
    FileBuilder b;
    const auto o = b.AddObject("");
    for (const auto& k : keys) b.AddEntry(k, o);
    auto reader = MustOpen(b.Build());
    ASSERT_TRUE(reader);
    std::vector<std::string> probes = {std::string(), std::string(6, '\xff')};
    for (int i = 0; i < 30; ++i) probes.push_back(random_key(5));
    for (const auto& k : keys) {
      probes.push_back(k);
      probes.push_back(k + '\0');
      if (!k.empty()) probes.push_back(k.substr(0, k.size() - 1) + static_cast<char>(k.back() + 1));
    }
    for (const auto& p : probes) {
      std::size_t first = keys.size(), last = keys.size();
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].compare(0, p.size(), p) == 0 && keys[i].size() >= p.size()) {
          if (first == keys.size()) first = i;
          last = i + 1;
        }
      }
      if (first == keys.size()) {
        // No match: an empty range at the first key not below the prefix.
        first = last = std::lower_bound(keys.begin(), keys.end(), p, less) - keys.begin();
      }
      EXPECT_EQ(reader->PrefixRange(AsBytes(p)), std::make_pair(first, last))
          << "round " << round << " prefix size " << p.size();
    }
  }
}

TEST_F(ReaderTest, RangeAndUniqueFetchesStopAtTheFirstBadObject) {
  FileBuilder b;
  const auto o1 = b.AddObject("one");
  const auto o2 = b.AddObject("two");
  b.AddEntry("a", o2);
  b.AddEntry("b", o1);
  b.AddEntry("c", o2);
  b.AddEntry("m", 999);
  b.AddEntry("n", o1);
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);

  auto range = reader->FetchRange(0, 3);
  ASSERT_TRUE(range.ok());
  std::vector<std::string> got;
  for (Bytes p : range.value()) got.push_back(AsString(p));
  EXPECT_EQ(got, (std::vector<std::string>{"two", "one", "two"}));
  EXPECT_TRUE(reader->FetchRange(4, 5).ok());
  EXPECT_EQ(reader->FetchRange(0, 5).error().Render(), "KalvCorruptError: offset 999 out of bounds");
  EXPECT_EQ(reader->FetchUniqueObjects().error().Render(), "KalvCorruptError: offset 999 out of bounds");
}

TEST_F(ReaderTest, UniqueObjectsComeInFirstOccurrenceOrder) {
  FileBuilder b;
  const auto at40 = b.AddObject("forty");
  b.AddObject("unreferenced");
  const auto later = b.AddObject("later");
  const auto last = b.AddObject("forty");  // same bytes, different record
  b.AddEntry("a", later);
  b.AddEntry("b", at40);
  b.AddEntry("c", later);
  b.AddEntry("d", last);
  b.AddEntry("e", at40);
  auto reader = MustOpen(b.Build());
  ASSERT_TRUE(reader);
  auto unique = reader->FetchUniqueObjects();
  ASSERT_TRUE(unique.ok());
  std::vector<std::string> got;
  for (Bytes p : unique.value()) got.push_back(AsString(p));
  EXPECT_EQ(got, (std::vector<std::string>{"later", "forty", "forty"}));
  EXPECT_TRUE(reader->Verify().ok());
}

class VerifyTest : public ReaderTest {
 protected:
  // Objects at 40 ("alpha", 13 bytes), 53 ("" ), 61 ("omega"); keys refer to them
  // in the order omega, alpha, empty, omega.
  std::string Store(std::uint64_t extra_offset = 0) {
    FileBuilder b;
    alpha_ = b.AddObject("alpha");
    empty_ = b.AddObject("");
    omega_ = b.AddObject("omega");
    b.AddEntry("a", omega_);
    b.AddEntry("b", alpha_);
    b.AddEntry("c", empty_);
    b.AddEntry("d", omega_);
    if (extra_offset != 0) b.AddEntry("e", extra_offset);
    return b.Build();
  }
  std::string VerifyError(const std::string& file) {
    auto reader = MustOpen(file, false);
    if (!reader) return "not opened";
    Status s = reader->Verify();
    return s.ok() ? "ok" : s.error().Render();
  }
  std::uint64_t alpha_ = 0, empty_ = 0, omega_ = 0;
};

TEST_F(VerifyTest, SoundStorePassesWithAnEmptyPayload) { EXPECT_EQ(VerifyError(Store()), "ok"); }

TEST_F(VerifyTest, FirstBadObjectInOffsetListOrderIsReported) {
  std::string file = Store();
  IncrementByte(file, alpha_ + 8);
  IncrementByte(file, omega_ + 8);
  FixChecksum(file);
  EXPECT_EQ(VerifyError(file), "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(omega_));
}

TEST_F(VerifyTest, StoredCrcOfAnEmptyPayloadMustBeZero) {
  std::string file = Store();
  IncrementByte(file, empty_ + 7);
  FixChecksum(file);
  EXPECT_EQ(VerifyError(file), "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(empty_));
}

TEST_F(VerifyTest, WholeFileCrcIsCheckedBeforeAnyObject) {
  std::string file = Store(~std::uint64_t{0});
  IncrementByte(file, alpha_ + 8);
  EXPECT_EQ(VerifyError(file).rfind("KalvCorruptError: file CRC32 mismatch  stored=0x", 0), 0u);
}

TEST_F(VerifyTest, BoundsMessagesUseTheirOwnWording) {
  const std::string sound = Store();
  const std::uint64_t n = sound.size() + 11;  // after the extra entry "e"
  EXPECT_EQ(VerifyError(Store(~std::uint64_t{0})),
            "KalvCorruptError: object offset 18446744073709551615 out of bounds");
  EXPECT_EQ(VerifyError(Store(n - 7)),
            "KalvCorruptError: object offset " + std::to_string(n - 7) + " out of bounds");
  // The record head at n - 8 is the last 8 bytes of entry "e" itself: its offset field,
  // whose top four bytes (the "length") are zero, and whose low four are not a CRC of "".
  EXPECT_EQ(VerifyError(Store(n - 8)),
            "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(n - 8));
  // At n - 11 the "length" is 00 01 65 00 (key length 1, 'e', offset byte) = 91392.
  EXPECT_EQ(VerifyError(Store(n - 11)),
            "KalvCorruptError: object at " + std::to_string(n - 11) + " extends beyond file end");
}

TEST_F(VerifyTest, ManyObjectsReportTheFirstBadOneInIndexOrder) {
  // Enough objects of mixed lengths for payloads to be checked in batches and side by
  // side, and (second case) one object large enough that the check takes them in index
  // order; either way the first bad object in index order is the one reported.
  for (const std::size_t large : {std::size_t{0}, std::size_t{12} << 20}) {
    FileBuilder b;
    std::vector<std::uint64_t> offsets;
    for (std::size_t i = 0; i < 300; ++i) {
      offsets.push_back(b.AddObject(std::string((i * 37) % 301, static_cast<char>('a' + i % 26))));
    }
    offsets.push_back(b.AddObject(std::string(large, 'z')));
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      std::string key = "k";
      key += std::to_string(1000 + i);
      b.AddEntry(key, offsets[offsets.size() - 1 - i]);
    }
    std::string file = b.Build();
    ASSERT_EQ(VerifyError(file), "ok");
    // The index lists the objects last to first: object 250 before object 40.
    IncrementByte(file, offsets[40] + 8 + 3);
    IncrementByte(file, offsets[250] + 8 + 3);
    FixChecksum(file);
    EXPECT_EQ(VerifyError(file),
              "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(offsets[250]));
  }
}

// The header lies under no CRC; the records must chain from 40 exactly to index_offset and
// number num_objects. Files of several blocks, with many objects or (second case) one
// large enough for the index-order path; every seventh record and the last are orphans,
// records no key refers to.
TEST_F(VerifyTest, RecordsMustChainToIndexOffsetAndCountNumObjects) {
  for (const std::size_t large : {std::size_t{0}, std::size_t{12} << 20}) {
    FileBuilder b;
    std::uint32_t objects = 0;
    for (std::size_t i = 0; i < 2000; ++i, ++objects) {
      const std::uint64_t offset = b.AddObject(std::string(i % 211, 'x'));
      if (i % 7 != 3) b.AddEntry("k" + std::to_string(10000 + i), offset);
    }
    if (large != 0) {
      b.AddEntry("large", b.AddObject(std::string(large, 'y')));
      ++objects;
    }
    const std::uint64_t orphan = b.AddObject("orphan");
    ++objects;
    const std::string sound = b.Build();
    ASSERT_EQ(VerifyError(sound), "ok");
    const std::uint64_t index_offset = orphan + 8 + 6;
    const std::string past = "KalvCorruptError: object record at ";
    const std::string runs = " runs past index_offset " + std::to_string(index_offset);
    const std::string count =
        "KalvCorruptError: data section holds " + std::to_string(objects) + " object records but num_objects is ";
    struct Case {
      std::size_t pos;
      std::uint32_t value;
      std::string expected;
    };
    const Case cases[] = {
        {format::kNumObjectsPos, objects + 1, count + std::to_string(objects + 1)},
        {format::kNumObjectsPos, objects - 1, count + std::to_string(objects - 1)},
        {format::kNumObjectsPos, 0, count + "0"},
        {format::kNumObjectsPos, 0xFFFFFFFFu, count + "4294967295"},
        {orphan, 7, past + std::to_string(orphan) + runs},
        {orphan, 0xFFFFFFFFu, past + std::to_string(orphan) + runs},
        // The orphan now ends one byte early, where no head fits.
        {orphan, 5, past + std::to_string(index_offset - 1) + runs},
    };
    for (const Case& c : cases) {
      std::string file = sound;
      SetBe32(file, c.pos, c.value);
      FixChecksum(file);
      EXPECT_EQ(VerifyError(file), c.expected) << c.pos << " " << c.value << " large " << large;
    }
  }
}

TEST_F(VerifyTest, AnOffsetIntoAPayloadIsNoRecordOfTheChain) {
  FileBuilder b;
  std::string inner;
  format::AppendObjectRecord(inner, AsBytes("inner"));
  const std::uint64_t outer = b.AddObject("<" + inner + ">");
  b.AddEntry("inner", outer + 8 + 1);
  b.AddEntry("outer", outer);
  EXPECT_EQ(VerifyError(b.Build()), "ok");
}

TEST_F(VerifyTest, IndexOffsetMovedOntoALaterEntryFailsTheChain) {
  std::string file = TwoKeysOneObject();
  SetBe32(file, format::kNumKeysPos, 1);
  SetBe64(file, format::kIndexOffsetPos, 61);  // the entry "b" alone ends at the file end
  EXPECT_EQ(VerifyError(file), "KalvCorruptError: object record at 50 runs past index_offset 61");
}

TEST_F(VerifyTest, IndexOffsetInsideTheHeaderFailsTheChain) {
  // The reserved bytes 38-39 give an entry at 38 an 8-byte key, which is the head of an
  // empty record at 40; the entry's object offset, 40, ends the file.
  std::string file(format::kHeaderSize, '\0');
  format::Header header;
  header.num_keys = 1;
  header.index_offset = 38;
  header.EncodeTo(reinterpret_cast<std::uint8_t*>(file.data()));
  file[39] = 8;
  format::AppendObjectRecord(file, AsBytes(""));
  file.append(8, '\0');
  SetBe64(file, file.size() - 8, 40);
  FixChecksum(file);
  auto reader = MustOpen(file);
  ASSERT_TRUE(reader);
  EXPECT_EQ(AsString(reader->FetchObject(*reader->Find(AsBytes(std::string(8, '\0')))).value()), "");
  EXPECT_EQ(VerifyError(file), "KalvCorruptError: index_offset 38 lies inside the header");
}

TEST(FormatCrcTest, EightLowercaseDigitsWithLeadingZeros) {
  EXPECT_EQ(FormatCrc(0), "0x00000000");
  EXPECT_EQ(FormatCrc(0xABCDEFu), "0x00abcdef");
  EXPECT_EQ(FormatCrc(0xFFFFFFFFu), "0xffffffff");
  EXPECT_EQ(FormatCrc(crc32::Value(reinterpret_cast<const std::uint8_t*>("123456789"), 9)), "0xcbf43926");
}

}  // namespace
}  // namespace kalvex::reader
