#include "core/writer/writer.h"
#include "core/writer/summary_line.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/internal_failure.h"

namespace kalvex::writer {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Mapping = std::vector<std::pair<std::string, std::string>>;

// Bit-at-a-time CRC-32, independent of the engines under test.
std::uint32_t ReferenceCrc(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::uint64_t Be(const Bytes& b, std::size_t pos, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | b.at(pos + i);
  return v;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The file's key -> payload mapping, read with this test's own decoder, every integrity
// value checked on the way.
Mapping Decode(const Bytes& file) {
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KLVX");
  const std::uint64_t index_offset = Be(file, 16, 8);
  EXPECT_EQ(Be(file, 24, 8), 40u);
  EXPECT_EQ(Be(file, 32, 4), ReferenceCrc(file.data() + 40, file.size() - 40));
  Mapping out;
  for (std::size_t pos = index_offset; pos < file.size();) {
    const std::size_t key_length = Be(file, pos, 2);
    std::string key(file.begin() + pos + 2, file.begin() + pos + 2 + key_length);
    const std::uint64_t record = Be(file, pos + 2 + key_length, 8);
    const std::size_t length = Be(file, record, 4);
    const std::uint8_t* payload = file.data() + record + 8;
    EXPECT_EQ(Be(file, record + 4, 4), ReferenceCrc(payload, length));
    out.emplace_back(std::move(key), std::string(payload, payload + length));
    pos += 10 + key_length;
  }
  EXPECT_EQ(out.size(), Be(file, 8, 4));
  return out;
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kalvex-writer-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Bytes BuildBytes(const Writer& writer) {
    const fs::path path = dir_ / "out.klvx";
    Result<BuildReport> built = writer.Build(path.string());
    EXPECT_TRUE(built.ok()) << built.error().Render();
    Bytes bytes = ReadFile(path);
    if (built.ok()) {
      EXPECT_EQ(built.value().file_size, bytes.size());
    }
    return bytes;
  }

  fs::path dir_;
};

struct TmpCase {
  const char* destination;
  const char* temporary;
};

class TemporaryPathTest : public ::testing::TestWithParam<TmpCase> {};

TEST_P(TemporaryPathTest, ReplacesTheExtensionOfTheLastComponent) {
  EXPECT_EQ(TemporaryPathFor(GetParam().destination), GetParam().temporary);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TemporaryPathTest,
    ::testing::Values(TmpCase{"out/store.klvx", "out/store.klvx.tmp"},
                      TmpCase{"out/store", "out/store.klvx.tmp"},
                      TmpCase{"out/store.db", "out/store.klvx.tmp"},
                      TmpCase{"archive.tar.gz", "archive.tar.klvx.tmp"},
                      TmpCase{".store", ".store.klvx.tmp"}, TmpCase{"store.", "store.klvx.tmp"},
                      TmpCase{"out/store/", "out/store.klvx.tmp"},
                      TmpCase{"out/store/.", "out/store.klvx.tmp"},
                      TmpCase{"/abs//x.y/./", "/abs//x.klvx.tmp"},
                      TmpCase{"out.d/store", "out.d/store.klvx.tmp"},
                      TmpCase{"..a", "..klvx.tmp"},
                      // Nothing to name: the path stays, and opening it fails.
                      TmpCase{"", ""}, TmpCase{"/", "/"}, TmpCase{"./.", "./."},
                      TmpCase{"out/..", "out/.."}, TmpCase{"..", ".."}));

TEST(SummaryLineTest, FollowsTheTemplate) {
  EXPECT_EQ(SummaryLine("out.klvx", {1, 2, 72}),
            "\u2705  out.klvx  \u2014  1 objects \u00B7 2 keys \u00B7 0.1 KB\n");
}

TEST(SummaryLineTest, RoundsKilobytesToNearestTenthTiesToEven) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0.0"},    {40, "0.0"},   {51, "0.0"},    {52, "0.1"},   {72, "0.1"},
      {1024, "1.0"}, {1280, "1.2"}, {1536, "1.5"},  {1792, "1.8"}, {10188, "9.9"},
      {10189, "10.0"}, {1ull << 40, "1073741824.0"}};
  for (const auto& [size, kb] : cases) {
    const std::string line = SummaryLine("p", {0, 0, size});
    EXPECT_EQ(line.substr(line.rfind("\u00B7 ") + 3), std::string(kb) + " KB\n") << size;
  }
}

TEST_F(WriterTest, EmptyWriterBuildsTheFortyByteFile) {
  Writer writer;
  const Bytes expected = {'K', 'L', 'V', 'X', 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0,   0,   0,   40,  0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(BuildBytes(writer), expected);
  EXPECT_FALSE(fs::exists(dir_ / "out.klvx.tmp"));
}

TEST_F(WriterTest, OneObjectUnderTwoKeysBuildsTheSeventyTwoByteFile) {
  Writer writer;
  ASSERT_EQ(writer.AddObject(AsBytes("hi")), 0u);
  ASSERT_TRUE(writer.AddKey(AsBytes("b"), 0).ok());
  ASSERT_TRUE(writer.AddKey(AsBytes("a"), 0).ok());
  Bytes expected = {'K', 'L', 'V', 'X', 2, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0,
                    0,   0,   0,   50,  0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 0,
                    0,   0,   0,   2,   0, 0, 0, 0, 'h', 'i',
                    0,   1,   'a', 0,   0, 0, 0, 0, 0, 0, 40,
                    0,   1,   'b', 0,   0, 0, 0, 0, 0, 0, 40};
  const std::uint32_t hi = ReferenceCrc(expected.data() + 48, 2);
  for (int i = 0; i < 4; ++i) expected[44 + i] = static_cast<std::uint8_t>(hi >> (24 - 8 * i));
  const std::uint32_t whole = ReferenceCrc(expected.data() + 40, 32);
  for (int i = 0; i < 4; ++i) expected[32 + i] = static_cast<std::uint8_t>(whole >> (24 - 8 * i));
  EXPECT_EQ(BuildBytes(writer), expected);
}

TEST_F(WriterTest, PlanDecidesTheHeaderWithoutTouchingTheFileSystemAndCommitWritesIt) {
  Writer writer;
  writer.AddObject(AsBytes("hi"));
  ASSERT_TRUE(writer.AddKey(AsBytes("b"), 0).ok());
  ASSERT_TRUE(writer.AddKey(AsBytes("a"), 0).ok());
  Result<BuildPlan> plan = writer.Plan();
  ASSERT_TRUE(plan.ok());
  EXPECT_TRUE(fs::is_empty(dir_));
  const BuildReport& report = plan.value().report();
  EXPECT_EQ(std::tie(report.num_objects, report.num_keys, report.file_size),
            std::make_tuple(std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{72}));

  const fs::path path = dir_ / "out.klvx";
  ASSERT_TRUE(writer.Commit(plan.value(), path.string()).ok());
  const Bytes file = ReadFile(path);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 40),
            Bytes(plan.value().header().begin(), plan.value().header().end()));
  EXPECT_EQ(file, BuildBytes(writer));

  // A plan describes the writer as it was: committing it after a change would write a
  // header that no longer matches the sections.
  writer.AddObject(AsBytes("later"));
  EXPECT_THROW((void)writer.Commit(plan.value(), path.string()), InternalFailure);
  Writer other;
  EXPECT_THROW((void)other.Commit(writer.Plan().value(), path.string()), InternalFailure);
  // Remapping a key keeps every count, yet a commit of keys added in order reads it.
  Result<BuildPlan> in_order = writer.Plan();
  ASSERT_TRUE(in_order.ok());
  ASSERT_TRUE(writer.AddKey(AsBytes("b"), 1).ok());
  EXPECT_THROW((void)writer.Commit(in_order.value(), path.string()), InternalFailure);
}

TEST_F(WriterTest, KeysComeOutInUnsignedBytewiseOrderWhateverTheInsertionOrder) {
  // Small alphabet, shared prefixes longer than one compare word, keys that are prefixes
  // of others and differ only by trailing zero bytes.
  std::mt19937_64 rng(7);
  std::map<std::string, std::string> model;
  std::vector<std::string> keys = {"", std::string(1, '\0'), "a", std::string("a\0", 2), "ab",
                                   "b", "\x80", "\xff"};
  const std::string shared(20, 'p');
  for (int i = 0; i < 3000; ++i) {
    std::string key = (i % 2) ? shared.substr(0, rng() % 21) : "";
    for (std::size_t n = rng() % 12; n > 0; --n) key += "\0\x01\x7f\x80\xff"[rng() % 5];
    keys.push_back(key);
  }
  std::vector<Bytes> files;
  for (int round = 0; round < 2; ++round) {
    std::shuffle(keys.begin(), keys.end(), rng);
    Writer writer;
    model.clear();
    for (const std::string& key : keys) {
      const std::string payload = "v" + key;
      writer.AddObject(AsBytes(payload));
      // Every later mapping of a key replaces the earlier one: the model keeps the last.
      ASSERT_TRUE(writer.AddKey(AsBytes(key), writer.num_objects() - 1).ok());
      model[key] = payload;
    }
    files.push_back(BuildBytes(writer));
    EXPECT_EQ(Decode(files.back()), Mapping(model.begin(), model.end()));
  }
}

TEST_F(WriterTest, CountsAndRemapsMatchAModelWhereverTheyAreAskedFor) {
  // Adding keys defers some work to whatever reads them next; reads at random points, keys
  // remapped within and across those points, and keys long enough to be handled alone
  // must all see the map of every call so far.
  std::mt19937_64 rng(11);
  Writer writer;
  std::map<std::string, std::string> model;
  std::vector<std::string> keys;
  for (int i = 0; i < 400; ++i) {
    keys.push_back("k");
    keys.back() += std::to_string(i);
  }
  keys.push_back(std::string(5000, 'x'));
  keys.push_back(std::string(65535, 'y'));
  keys.push_back("");
  for (int step = 0; step < 5000; ++step) {
    const std::string& key = keys[rng() % keys.size()];
    std::string payload = "p";
    payload += std::to_string(step);
    writer.AddObject(AsBytes(payload));
    ASSERT_TRUE(writer.AddKey(AsBytes(key), writer.num_objects() - 1).ok());
    model[key] = payload;
    if (rng() % 300 == 0) {
      ASSERT_EQ(writer.num_keys().value(), model.size());
    }
    if (step == 2500) {
      EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
    }
  }
  EXPECT_EQ(writer.num_keys().value(), model.size());
  EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
}

TEST_F(WriterTest, ManyKeysRemappedAcrossGrowthsAndEntryBlocksKeepTheirLastObject) {
  // Enough keys for the key map's table to grow many times and its entries to span
  // several blocks; every third key is added again later, pointing at another object.
  constexpr int kKeys = 150000;
  Writer writer;
  std::map<std::string, std::string> model;
  auto add = [&](int k, int object) {
    const std::string key = "key" + std::to_string(k * 7919 % kKeys);
    const std::string payload = "p" + std::to_string(object);
    writer.AddObject(AsBytes(payload));
    ASSERT_TRUE(writer.AddKey(AsBytes(key), writer.num_objects() - 1).ok());
    model[key] = payload;
  };
  for (int k = 0; k < kKeys; ++k) add(k, k);
  // A build gives the table back: the remaps after it find their keys in the table it
  // fills again from the entries, rather than adding them twice.
  EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
  for (int k = 0; k < kKeys; k += 3) add(k, kKeys + k);
  EXPECT_EQ(writer.num_keys().value(), model.size());
  EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
}

TEST_F(WriterTest, EveryRecordCarriesItsPayloadCrcAcrossChunksAndRebuilds) {
  // Payload CRCs are filled in by the build: records that end chunks of the object list
  // short, a payload larger than a chunk, and objects added between two builds
  // must all come out with the right CRC (Decode checks each against its own CRC).
  std::mt19937_64 rng(5);
  Writer writer;
  std::map<std::string, std::string> model;
  const auto add = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t size = i % 97 == 0 ? rng() % 5000 : rng() % 300;
      std::string payload(size, '\0');
      for (char& c : payload) c = static_cast<char>(rng());
      writer.AddObject(AsBytes(payload));
      std::string key = "key";
      key += std::to_string(model.size());
      ASSERT_TRUE(writer.AddKey(AsBytes(key), writer.num_objects() - 1).ok());
      model[key] = payload;
    }
  };
  add(20000);
  EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
  add(1);
  std::string big(5 << 20, 'b');
  writer.AddObject(AsBytes(big));
  ASSERT_TRUE(writer.AddKey(AsBytes("big"), writer.num_objects() - 1).ok());
  model["big"] = big;
  add(3000);
  EXPECT_EQ(Decode(BuildBytes(writer)), Mapping(model.begin(), model.end()));
}

TEST_F(WriterTest, KeysAddedInOrderOrAlmostInOrderComeOutInOrder) {
  // Input already in key order skips the sort; one pair out of place anywhere must not.
  std::vector<std::string> sorted = {"", std::string(1, '\0'), "a", std::string("a\0", 2), "ab", "b"};
  for (int i = 0; i < 500; ++i) {
    std::string key = "user:";
    key += std::to_string(100000 + i);
    sorted.push_back(key);
  }
  sorted.push_back("\xff");
  for (const std::size_t swapped : {std::size_t{0}, std::size_t{1}, std::size_t{3}, sorted.size() - 2}) {
    std::vector<std::string> keys = sorted;
    if (swapped != 0) std::swap(keys[swapped], keys[swapped + 1]);
    Writer writer;
    writer.AddObject(AsBytes("p"));
    for (const std::string& key : keys) ASSERT_TRUE(writer.AddKey(AsBytes(key), 0).ok());
    Mapping want;
    for (const std::string& key : sorted) want.emplace_back(key, "p");
    EXPECT_EQ(Decode(BuildBytes(writer)), want) << "swapped at " << swapped;
  }
}

TEST_F(WriterTest, IdenticalContentInAnotherOrderBuildsTheSameBytes) {
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) keys.push_back("user:" + std::to_string(i * 7919 % 2000));
  std::vector<Bytes> files;
  for (int round = 0; round < 2; ++round) {
    Writer writer;
    // Records meet chunk boundaries; the second is larger than the first few chunks, so it
    // leaves the first chunk short and takes a chunk of its own.
    writer.AddObject(AsBytes("small"));
    writer.AddObject(AsBytes(std::string(3 << 19, 'x')));
    for (int i = 0; i < 200; ++i) writer.AddObject(AsBytes(std::string(i * 150, char(i))));
    std::mt19937 rng(round);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (const std::string& key : keys) {
      ASSERT_TRUE(writer.AddKey(AsBytes(key), std::stoul(key.substr(5)) % 202).ok());
    }
    files.push_back(BuildBytes(writer));
  }
  EXPECT_EQ(files[0], files[1]);
  EXPECT_EQ(Decode(files[0]).size(), 2000u);
}

TEST_F(WriterTest, RejectedKeysChangeNothing) {
  Writer writer;
  Status no_object = writer.AddKey(AsBytes("k"), 0);
  ASSERT_FALSE(no_object.ok());
  EXPECT_EQ(no_object.error().Render(), "KalvError: obj_id 0 out of range (have 0 objects)");

  writer.AddObject(AsBytes("x"));
  ASSERT_TRUE(writer.AddKey(AsBytes("k"), 0).ok());
  const Bytes before = BuildBytes(writer);
  Status out_of_range = writer.AddKey(AsBytes("k"), 1);
  EXPECT_EQ(out_of_range.error().Render(), "KalvError: obj_id 1 out of range (have 1 objects)");
  const std::string longest(65535, 'k');
  const std::string too_long(65536, 'k');
  Status length = writer.AddKey(AsBytes(too_long), 0);
  EXPECT_EQ(length.error().Render(), "KalvError: key is 65536 bytes, format maximum is 65535");
  // Range is checked before length.
  EXPECT_EQ(writer.AddKey(AsBytes(too_long), 9).error().Render(),
            "KalvError: obj_id 9 out of range (have 1 objects)");
  EXPECT_EQ(writer.num_keys().value(), 1u);
  EXPECT_EQ(BuildBytes(writer), before);
  EXPECT_TRUE(writer.AddKey(AsBytes(longest), 0).ok());
  EXPECT_EQ(Decode(BuildBytes(writer)).back().first, longest);
}

TEST_F(WriterTest, OversizedPayloadFailsTheBuildBeforeAnyFileIsTouched) {
  // Never read: inaccessible pages make any copy of them crash the test.
  const std::size_t big = (std::size_t{1} << 32) + 1;
  void* pages = mmap(nullptr, big, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  const auto* p = static_cast<const std::uint8_t*>(pages);
  Writer writer;
  writer.AddObject(AsBytes("fine"));
  EXPECT_EQ(writer.AddObject({p, big}), 1u);
  EXPECT_EQ(writer.AddObject({p, big - 1}), 2u);
  EXPECT_EQ(writer.num_objects(), 3u);
  std::ofstream(dir_ / "out.klvx.tmp") << "earlier";
  Result<BuildReport> built = writer.Build((dir_ / "out.klvx").string());
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error().Render(), "KalvError: object is 4294967297 bytes, format maximum is 4294967295");
  EXPECT_FALSE(fs::exists(dir_ / "out.klvx"));
  const Bytes untouched = ReadFile(dir_ / "out.klvx.tmp");
  EXPECT_EQ(std::string(untouched.begin(), untouched.end()), "earlier");
  munmap(pages, big);
}

TEST_F(WriterTest, PathsTheSystemRefusesFailTheOpenAndCreateNothing) {
  Writer writer;
  writer.AddObject(AsBytes("payload"));
  ASSERT_TRUE(writer.AddKey(AsBytes("k"), 0).ok());

  Result<BuildReport> missing = writer.Build((dir_ / "no/such/out.klvx").string());
  EXPECT_EQ(missing.error().Render(), "KalvIOError: open tmp: No such file or directory (os error 2)");
  EXPECT_EQ(writer.Build("/").error().Render(), "KalvIOError: open tmp: Is a directory (os error 21)");

  // The zero byte sits in the extension, so the temporary path is clean; the build must
  // still refuse before creating it, or the rename alone would fail, leaving a tmp file.
  const std::string with_nul = (dir_ / "a.b").string() + std::string("\0c", 2);
  EXPECT_EQ(writer.Build(with_nul).error().Render(),
            "KalvIOError: open tmp: file name contained an unexpected NUL byte");
  EXPECT_TRUE(fs::is_empty(dir_));

  EXPECT_EQ(writer.num_objects(), 1u);
  EXPECT_EQ(writer.num_keys().value(), 1u);
}

}  // namespace
}  // namespace kalvex::writer

namespace kalvex::writer {
namespace {

// Objects no key reaches are left out, and the file is then exactly the one a writer
// given only the reached objects (in their order) builds: records, offsets and CRCs.
class DropUnreferencedTest : public WriterTest, public ::testing::WithParamInterface<int> {};

TEST_P(DropUnreferencedTest, BuildsTheFileOfAWriterGivenOnlyTheReachedObjects) {
  const int reached_every = GetParam();  // object ids divisible by this keep a key; 0: none
  std::mt19937_64 rng(reached_every);
  Writer writer;
  Writer reference;
  reference.AddObject(AsBytes("first"));
  writer.AddObject(AsBytes("first"));  // object 0, where replaced keys go
  ASSERT_TRUE(writer.AddKey(AsBytes("first"), 0).ok());
  ASSERT_TRUE(reference.AddKey(AsBytes("first"), 0).ok());
  std::vector<std::pair<std::string, std::uint64_t>> reference_keys;
  for (std::uint64_t id = 1; id < 3000; ++id) {
    // A few payloads larger than a chunk of the object list, so that runs cross chunks.
    std::string payload(id % 997 == 7 ? (100 << 10) + rng() % 1000 : rng() % 400, static_cast<char>('a' + id % 26));
    writer.AddObject(AsBytes(payload));
    const std::string key = "k" + std::to_string(id);
    ASSERT_TRUE(writer.AddKey(AsBytes(key), id).ok());
    const bool kept = reached_every != 0 && id % reached_every == 0;
    if (kept) {
      reference_keys.emplace_back(key, reference.AddObject(AsBytes(payload)));
    } else {
      ASSERT_TRUE(writer.AddKey(AsBytes(key), 0).ok());  // mapped again: its old object is left
      reference_keys.emplace_back(key, 0);
    }
  }
  for (const auto& [key, id] : reference_keys) ASSERT_TRUE(reference.AddKey(AsBytes(key), id).ok());

  BuildOptions drop;
  drop.drop_unreferenced = true;
  const fs::path path = dir_ / "dropped.klvx";
  Result<BuildReport> built = writer.Build(path.string(), drop);
  ASSERT_TRUE(built.ok()) << built.error().Render();
  EXPECT_EQ(built.value().num_objects, reference.num_objects());
  EXPECT_EQ(ReadFile(path), BuildBytes(reference));

  // With the mapped index too: the same keys and payloads, one object more.
  drop.mapped_index = true;
  built = writer.Build(path.string(), drop);
  ASSERT_TRUE(built.ok()) << built.error().Render();
  EXPECT_EQ(Be(ReadFile(path), 12, 4), reference.num_objects() + 1);
  EXPECT_EQ(Decode(ReadFile(path)), Decode(BuildBytes(reference)));
}

INSTANTIATE_TEST_SUITE_P(Reached, DropUnreferencedTest, ::testing::Values(1, 2, 7, 0));

TEST_F(WriterTest, DroppingUnreferencedObjectsOfAWriterWithoutKeysLeavesTheEmptyFile) {
  Writer writer;
  writer.AddObject(AsBytes("never mapped"));
  BuildOptions drop;
  drop.drop_unreferenced = true;
  ASSERT_TRUE(writer.Build((dir_ / "out.klvx").string(), drop).ok());
  EXPECT_EQ(ReadFile(dir_ / "out.klvx"), BuildBytes(Writer()));
}

}  // namespace
}  // namespace kalvex::writer
