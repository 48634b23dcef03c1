// The mapped index end to end: stores built with and without it answer alike (against a
// std::map model) through either kind of reader; a plain reader sees one more object and
// nothing else; a declared index is used, and damage to it fails (never falls back or
// gives a short answer) where the layout header says; a value is never taken for an
// index; the deep check and the index check find what lookups cannot.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/layout.h"
#include "core/format/mapped_index_layout.h"
#include "core/reader/reader.h"
#include "core/writer/writer.h"

namespace kalvex {
namespace {

using reader::Bytes;
using reader::Reader;
using Model = std::map<std::string, std::string>;

Bytes AsBytes(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }
std::string AsString(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// Keys with shared prefixes, an empty key, binary bytes and lengths across the 16-byte
// comparison edge; a few share one payload.
Model MakeModel(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  Model model;
  if (n > 0) model[""] = "empty-key";
  while (model.size() < n) {
    std::string key = (rng() % 3 == 0) ? "user:" : (rng() % 2 ? "item/" : "");
    const std::size_t length = rng() % 24;
    for (std::size_t i = 0; i < length; ++i) key.push_back(static_cast<char>(rng() % 7 == 0 ? rng() : 'a' + rng() % 4));
    model[key] = "v" + std::to_string(rng() % (n / 2 + 1));
  }
  return model;
}

class MappedIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mapped_index_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/store.klvx";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  writer::BuildReport Build(const Model& model, bool mapped_index) {
    writer::Writer w;
    std::map<std::string, std::uint64_t> ids;
    for (const auto& [key, value] : model) {
      if (!ids.count(value)) ids[value] = w.AddObject(AsBytes(value));
      EXPECT_TRUE(w.AddKey(AsBytes(key), ids[value]).ok());
    }
    writer::BuildOptions options;
    options.mapped_index = mapped_index;
    auto built = w.Build(path_, options);
    EXPECT_TRUE(built.ok()) << built.error().Render();
    return built.ok() ? built.value() : writer::BuildReport{};
  }
  std::unique_ptr<Reader> Open(bool map_index, bool verify = false) {
    auto r = Reader::Open(path_, verify, map_index);
    EXPECT_TRUE(r.ok()) << r.error().Render();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string OpenError(bool map_index, bool verify = false) {
    auto r = Reader::Open(path_, verify, map_index);
    return r.ok() ? "opened" : r.error().Render();
  }
  std::string ReadFile() {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void WriteFile(const std::string& bytes) { std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes; }

  std::string dir_;
  std::string path_;
};

// Where the pieces of a file's mapped index lie, from its header and trailer.
struct Geometry {
  std::uint64_t index_offset, trailer, record, slots, slot_count, samples;  // file offsets
  explicit Geometry(const std::string& f) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(f.data());
    index_offset = LoadBe64(b + format::kIndexOffsetPos);
    trailer = index_offset - format::kIndexTrailerSize;
    const auto t = format::IndexTrailer::DecodeFrom(b + trailer);
    slot_count = t.slot_count;
    const std::uint64_t payload =
        t.padding + 8 * (slot_count + format::SampleCountFor(t.num_keys, t.rank_shift)) + format::kIndexTrailerSize;
    record = index_offset - format::kRecordHeadSize - payload;
    slots = record + format::kRecordHeadSize + t.padding;
    samples = slots + 8 * slot_count;
  }
};

// Recomputes the index record's payload CRC and the file CRC, so that only the deep
// structure checks can see a change.
void Reseal(std::string& f) {
  const Geometry g(f);
  auto* b = reinterpret_cast<std::uint8_t*>(f.data());
  const std::uint64_t payload = g.index_offset - g.record - format::kRecordHeadSize;
  format::SetRecordPayloadCrc(b + g.record, crc32::Value(b + g.record + format::kRecordHeadSize, payload));
  StoreBe32(b + format::kFileCrcPos, crc32::Value(b + format::kHeaderSize, f.size() - format::kHeaderSize));
}

// Reseal, with the trailer's index section CRC recomputed first: only the structure
// checks that read no CRC can see a change.
void ResealAll(std::string& f) {
  const Geometry g(f);
  auto* b = reinterpret_cast<std::uint8_t*>(f.data());
  StoreBe32(b + g.trailer + 72, crc32::Value(b + g.index_offset, f.size() - g.index_offset));
  Reseal(f);
}

// Everything a reader answers, compared with the model.
void ExpectAnswersLike(const Reader& r, const Model& model) {
  ASSERT_EQ(r.entry_count(), model.size());
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  ASSERT_TRUE(r.ReadEntries(0, r.entry_count(), keys, offsets).ok());
  auto payloads = r.FetchRange(0, r.entry_count());
  ASSERT_TRUE(payloads.ok());
  std::size_t i = 0;
  std::string all_keys;
  std::vector<std::size_t> ends;
  for (const auto& [key, value] : model) {
    EXPECT_EQ(AsString(keys[i]), key);
    EXPECT_EQ(AsString(payloads.value()[i]), value);
    const auto found = r.Lookup(AsBytes(key));
    ASSERT_TRUE(found.ok() && found.value());
    EXPECT_EQ(AsString(r.FetchObject(*found.value()).value()), value);
    for (const std::string& near : {key + '\0', key + "\xff", key.substr(0, key.size() / 2)}) {
      EXPECT_EQ(r.Lookup(AsBytes(near)).value().has_value(), model.count(near) == 1) << near;
    }
    all_keys += key;
    ends.push_back(all_keys.size());
    all_keys += "absent";
    ends.push_back(all_keys.size());
    ++i;
  }
  std::vector<Bytes> many(ends.size());
  ASSERT_TRUE(r.FetchMany(reinterpret_cast<const std::uint8_t*>(all_keys.data()), ends.data(), 0, ends.size(),
                          many.data())
                  .ok());
  i = 0;
  for (const auto& [key, value] : model) {
    EXPECT_EQ(AsString(many[2 * i]), value);
    EXPECT_EQ(many[2 * i + 1].data(), nullptr);
    ++i;
  }
  for (const std::string prefix : {"", "user:", "item/a", "a", "b", "\xff", "user:zzzz"}) {
    std::size_t first = 0;
    while (first < keys.size() && AsString(keys[first]) < prefix) ++first;
    std::size_t last = first;
    while (last < keys.size() && AsString(keys[last]).rfind(prefix, 0) == 0) ++last;
    EXPECT_EQ(r.SearchPrefix(AsBytes(prefix)).value(), std::make_pair(first, last)) << prefix;
  }
  // Every key, and the keys just below and above it, seek to their rank in the model.
  for (const auto& [key, value] : model) {
    for (const std::string& probe : {key, key + '\0', key.substr(0, key.size() - (key.empty() ? 0 : 1))}) {
      auto got = r.LowerBound(AsBytes(probe));
      ASSERT_TRUE(got.ok()) << got.error().Render();
      EXPECT_EQ(got.value(), static_cast<std::size_t>(std::distance(model.begin(), model.lower_bound(probe))));
    }
  }
  EXPECT_EQ(r.LowerBound(AsBytes(std::string(70000, '\xff'))).value(), model.size());
  EXPECT_TRUE(r.Verify().ok()) << r.Verify().error().Render();
}

class RoundTrip : public MappedIndexTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RoundTrip, BothReadersOfBothFilesAnswerLikeTheModel) {
  const Model model = MakeModel(GetParam(), static_cast<unsigned>(GetParam()));
  for (const bool with_index : {false, true}) {
    const writer::BuildReport report = Build(model, with_index);
    EXPECT_EQ(report.index_size != 0, with_index);
    for (const bool map_index : {false, true}) {
      SCOPED_TRACE(testing::Message() << "with_index=" << with_index << " map_index=" << map_index);
      auto r = Open(map_index, /*verify=*/true);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->maps_index(), with_index && map_index);
      EXPECT_EQ(r->index_object_size(), map_index ? report.index_size : 0);
      EXPECT_EQ(r->num_objects(), report.num_objects + (with_index ? 1 : 0));
      if (r->maps_index()) {
        EXPECT_EQ(r->MemoryUsage(), 0u);
      }
      ExpectAnswersLike(*r, model);
    }
    if (with_index) {
      // The index is an object no key refers to, of at most 12 bytes per key and a
      // constant (record head, padding, trailer, the table's last slots); its slots start
      // on a cache line.
      EXPECT_LE(report.index_size, 12 * model.size() + 192);
      EXPECT_EQ(Geometry(ReadFile()).slots % format::kSlotAlignment, 0u);
      auto plain = Open(false);
      EXPECT_EQ(plain->FetchUniqueObjects().value().size(), report.num_objects);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(0, 1, 2, 16, 17, 300, 5000));

TEST_F(MappedIndexTest, TrailerThatDisagreesWithTheHeaderOrTheFileFailsTheOpen) {
  Build(MakeModel(40, 3), true);
  const std::string good = ReadFile();
  std::string f = good;
  auto* b = reinterpret_cast<std::uint8_t*>(f.data());
  StoreBe32(b + format::kNumKeysPos, 39);
  WriteFile(f);
  EXPECT_EQ(OpenError(true), "KalvCorruptError: mapped index trailer holds num_keys 40 but the header 39");
  WriteFile(good + "x");
  EXPECT_EQ(OpenError(true).rfind("KalvCorruptError: mapped index trailer holds index_length ", 0), 0u);
  // One entry appended and index_length stretched over it: refused as a parse refuses it.
  f = good + std::string("\x00\x01z\x00\x00\x00\x00\x00\x00\x00\x28", 11);
  b = reinterpret_cast<std::uint8_t*>(f.data());
  const Geometry g(f);
  StoreBe64(b + g.trailer + 24, f.size() - g.index_offset);
  WriteFile(f);
  EXPECT_EQ(OpenError(true).rfind("KalvCorruptError: index section ends at " + std::to_string(good.size()), 0), 0u)
      << OpenError(true);
  EXPECT_EQ(OpenError(true), OpenError(false));
  // Header and trailer agree on more keys than the section can hold: refused at open, as
  // a parse would refuse it, before any walk could size a table by the count.
  f = good;
  b = reinterpret_cast<std::uint8_t*>(f.data());
  StoreBe32(b + format::kNumKeysPos, 1000000);
  StoreBe32(b + g.trailer + 12, 1000000);
  WriteFile(f);
  EXPECT_EQ(OpenError(true), "KalvCorruptError: index section truncated (key_len)");
}

TEST_F(MappedIndexTest, OnlyTheHeadersFeatureBitMakesAnIndex) {
  const Model model = MakeModel(40, 9);
  Build(model, true);
  std::string f = ReadFile();
  const Geometry g(f);
  const std::string index_payload = f.substr(g.record + format::kRecordHeadSize, g.index_offset - g.record - 8);
  // The bit cleared: the index record is one more object no key refers to.
  f[format::kFeaturesPos] = 0;
  WriteFile(f);
  auto plain = Open(true, true);
  ASSERT_FALSE(plain->maps_index());
  EXPECT_EQ(plain->num_user_objects(), plain->num_objects());
  ExpectAnswersLike(*plain, model);
  // A bit this library does not know.
  f[format::kFeaturesPos] = 0x81;
  WriteFile(f);
  EXPECT_EQ(OpenError(true), "KalvVersionError: unsupported feature bits 0x80 (a newer kalvex wrote this file)");
  EXPECT_EQ(OpenError(false), "opened");
  // A store without the index whose last value is an index's bytes, its trailer made to
  // agree with this very file: still a value, found under its key.
  Model crafted = model;
  crafted["\xff\xff-last"] = std::string(index_payload.size(), 'x');
  for (int pass = 0; pass < 2; ++pass) {
    writer::Writer fresh;
    std::uint64_t last_id = 0;
    for (const auto& [key, value] : crafted) {
      last_id = fresh.AddObject(AsBytes(value));
      ASSERT_TRUE(fresh.AddKey(AsBytes(key), last_id).ok());
    }
    ASSERT_TRUE(fresh.Build(path_, writer::BuildOptions{}).ok());
    const std::string built = ReadFile();
    std::string payload = index_payload;
    auto* t = reinterpret_cast<std::uint8_t*>(payload.data()) + payload.size() - format::kIndexTrailerSize;
    const std::uint64_t end = LoadBe64(reinterpret_cast<const std::uint8_t*>(built.data()) + format::kIndexOffsetPos);
    StoreBe32(t + 12, static_cast<std::uint32_t>(crafted.size()));
    StoreBe64(t + 16, end);
    StoreBe64(t + 24, built.size() - end);
    crafted["\xff\xff-last"] = payload;  // the same length: the layout does not move
  }
  WriteFile(ReadFile());
  auto r = Open(true, true);
  ASSERT_FALSE(r->maps_index());
  ExpectAnswersLike(*r, crafted);
}

// One trailer field changed, the CRCs re-sealed: what a reader asking for the index gets.
struct TrailerCase {
  const char* name;
  std::size_t pos;        // within the trailer
  int width;
  std::uint64_t value;    // added to the field
  const char* expected;   // the start of the open's error
};

class DamagedTrailer : public MappedIndexTest, public ::testing::WithParamInterface<TrailerCase> {};

TEST_P(DamagedTrailer, FallsBackOrFailsAsTheLayoutSays) {
  const Model model = MakeModel(100, 5);
  Build(model, true);
  std::string f = ReadFile();
  const Geometry g(f);
  auto* at = reinterpret_cast<std::uint8_t*>(f.data()) + g.trailer + GetParam().pos;
  if (GetParam().width == 1) *at = static_cast<std::uint8_t>(*at + GetParam().value);
  if (GetParam().width == 4) StoreBe32(at, static_cast<std::uint32_t>(LoadBe32(at) + GetParam().value));
  if (GetParam().width == 8) StoreBe64(at, LoadBe64(at) + GetParam().value);
  auto* b = reinterpret_cast<std::uint8_t*>(f.data());
  StoreBe32(b + format::kFileCrcPos, crc32::Value(b + format::kHeaderSize, f.size() - format::kHeaderSize));
  WriteFile(f);
  // The header declares the index: no damaged trailer makes the file read as plain.
  const std::string expected = GetParam().expected;
  EXPECT_EQ(OpenError(true).rfind(expected, 0), 0u) << OpenError(true);
  auto plain = Open(false);  // a reader of the format alone reads it as before
  ASSERT_TRUE(plain);
  ExpectAnswersLike(*plain, model);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DamagedTrailer,
    ::testing::Values(
        TrailerCase{"magic", 7, 1, 1, "KalvCorruptError: the header declares a mapped index, but none ends"},
        TrailerCase{"version", 8, 1, 1, "KalvVersionError: unsupported mapped index structure version 3"},
        TrailerCase{"num_keys", 12, 4, 1, "KalvCorruptError: mapped index trailer holds num_keys 101"},
        TrailerCase{"index_offset", 16, 8, 1, "KalvCorruptError: mapped index trailer holds index_offset "},
        TrailerCase{"index_length", 24, 8, ~std::uint64_t{0}, "KalvCorruptError: mapped index trailer holds index_length"},
        TrailerCase{"rank_shift", 9, 1, 7, "KalvCorruptError: mapped index trailer holds rank shift 11"},
        TrailerCase{"padding", 10, 1, 64, "KalvCorruptError: mapped index trailer holds padding "},
        TrailerCase{"capacity", 32, 8, 1000, "KalvCorruptError: mapped index trailer holds "},
        TrailerCase{"slot_count_huge", 40, 8, std::uint64_t{1} << 60,
                    "KalvCorruptError: mapped index trailer describes tables larger than the data section"},
        TrailerCase{"slot_count", 40, 8, 1, "KalvCorruptError: mapped index trailer does not match the length of its record"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MappedIndexTest, DamagedSlotsAndSamplesAreCaughtWhereTheyAreRead) {
  const Model model = MakeModel(200, 7);
  Build(model, true);
  const std::string good = ReadFile();
  const Geometry g(good);
  // The slot of some key: any occupied one.
  std::uint64_t slot = 0;
  while (LoadBe64(good.data() + g.slots + 8 * slot) == 0) ++slot;
  const std::uint64_t value = LoadBe64(good.data() + g.slots + 8 * slot);
  auto key_of_slot = [&] {
    auto r = Open(false);
    std::vector<Bytes> keys;
    std::vector<std::uint64_t> offsets;
    EXPECT_TRUE(r->ReadEntries(0, r->entry_count(), keys, offsets).ok());
    std::uint64_t place = 0;
    for (Bytes k : keys) {
      if (place == (value & format::kSlotPlaceMask)) return AsString(k);
      place += format::EntrySize(k.size());
    }
    return std::string();
  };
  const std::string key = key_of_slot();

  struct Case {
    const char* name;
    std::uint64_t pos;
    std::uint64_t new_value;
    const char* lookup;  // Lookup's error, "" for a miss
    const char* verify;
  };
  const std::uint64_t section = good.size() - g.index_offset;
  const Case cases[] = {
      {"place past the section", g.slots + 8 * slot, (value & format::kSlotTagMask) | (section + 5),
       "KalvCorruptError: index section truncated (key_len)", "KalvCorruptError: index section truncated (key_len)"},
      {"place at the section's last bytes", g.slots + 8 * slot, (value & format::kSlotTagMask) | (section - 3),
       "KalvCorruptError: index section truncated (key + offset)",
       "KalvCorruptError: index section truncated (key + offset)"},
      {"slot emptied", g.slots + 8 * slot, 0, "", "KalvCorruptError: mapped index does not find the key of entry"},
      {"sample moved", g.samples + 8, 1, nullptr, "KalvCorruptError: mapped index sample 1 does not locate entry 16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string f = good;
    StoreBe64(f.data() + c.pos, c.new_value);
    Reseal(f);
    WriteFile(f);
    auto r = Open(true, true);
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->maps_index());
    if (c.lookup != nullptr) {
      auto found = r->Lookup(AsBytes(key));
      EXPECT_EQ(found.ok() ? (found.value() ? "found" : "") : found.error().Render(), c.lookup);
    } else {
      // A walk from a moved sample is checked against the next one: an error, never other keys.
      std::vector<Bytes> keys;
      std::vector<std::uint64_t> offsets;
      EXPECT_FALSE(r->ReadEntries(16, 17, keys, offsets).ok());
      EXPECT_FALSE(r->SearchPrefix(AsBytes(std::next(model.begin(), 17)->first)).ok());
    }
    const Status checked = r->Verify();
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error().Render().rfind(c.verify, 0), 0u) << checked.error().Render();
  }

  // Samples moved or swapped (each still naming a whole entry): a seek that meets one
  // fails, every other seek finds the model's rank; none gives a wrong rank.
  const std::uint64_t s1 = LoadBe64(good.data() + g.samples + 8), s2 = LoadBe64(good.data() + g.samples + 16);
  for (const auto& [one, two] : {std::pair{s2, s1}, std::pair{LoadBe64(good.data() + g.samples + 24), s2}}) {
    std::string f = good;
    StoreBe64(f.data() + g.samples + 8, one);
    StoreBe64(f.data() + g.samples + 16, two);
    Reseal(f);
    WriteFile(f);
    auto r = Open(true);
    std::size_t failed = 0;
    std::size_t rank = 0;
    for (const auto& [k, v] : model) {
      auto got = r->LowerBound(AsBytes(k));
      failed += !got.ok();
      if (got.ok()) {
        EXPECT_EQ(got.value(), rank) << k;
      }
      ++rank;
    }
    EXPECT_GE(failed, 16u);
  }

  // The table's last slot must be empty for probes to end: an open refuses it otherwise.
  std::string f = good;
  StoreBe64(f.data() + g.slots + 8 * (g.slot_count - 1), value);
  Reseal(f);
  WriteFile(f);
  EXPECT_EQ(OpenError(true), "KalvCorruptError: mapped index trailer names a table whose last slot is occupied");
  // An unchanged structure whose record CRC is off: the deep check names the object.
  f = good;
  f[g.samples] ^= 1;
  auto* b = reinterpret_cast<std::uint8_t*>(f.data());
  StoreBe32(b + format::kFileCrcPos, crc32::Value(b + format::kHeaderSize, f.size() - format::kHeaderSize));
  WriteFile(f);
  EXPECT_EQ(Open(true)->Verify().error().Render(),
            "KalvCorruptError: object CRC32 mismatch at offset " + std::to_string(g.record));
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

TEST_F(MappedIndexTest, SameAddsGiveTheSameBytesAndTheSeedFollowsTheContent) {
  const Model model = MakeModel(300, 11);
  Build(model, true);
  const std::string first = ReadFile();
  Build(model, true);
  EXPECT_EQ(ReadFile(), first);
  Model other = model;
  other["one more"] = "v0";
  Build(other, true);
  const std::string second = ReadFile();
  EXPECT_NE(second.substr(second.size() - 1), "");
  const auto seed_of = [](const std::string& f) {
    const Geometry g(f);
    return f.substr(g.trailer + 48, 24);
  };
  EXPECT_NE(seed_of(second), seed_of(first));
}

TEST_F(MappedIndexTest, CheckIndexCoversTheRecordAndTheSectionOnly) {
  const Model model = MakeModel(100, 13);
  Build(model, true);
  const std::string good = ReadFile();
  const Geometry g(good);
  EXPECT_TRUE(Open(true)->CheckIndex().ok());
  struct Case {
    std::uint64_t pos;
    const char* error;
  };
  const Case cases[] = {
      {g.slots + 3, "KalvCorruptError: object CRC32 mismatch at offset "},
      {g.index_offset + 2, "KalvCorruptError: index section CRC32 mismatch  stored=0x"},
      {good.size() - 1, "KalvCorruptError: index section CRC32 mismatch  stored=0x"},
      {format::kHeaderSize + 9, nullptr},  // a value's bytes: its record's check, not the index's
  };
  for (const Case& c : cases) {
    std::string f = good;
    f[c.pos] ^= 0x10;
    WriteFile(f);
    const Status checked = Open(true)->CheckIndex();
    if (c.error == nullptr) {
      EXPECT_TRUE(checked.ok());
    } else {
      ASSERT_FALSE(checked.ok()) << c.pos;
      EXPECT_EQ(checked.error().Render().rfind(c.error, 0), 0u) << checked.error().Render();
    }
  }
}

TEST_F(MappedIndexTest, AnEntryReferringToTheIndexOrIntoItFailsTheDeepCheck) {
  Build(MakeModel(40, 17), true);
  const std::string good = ReadFile();
  const Geometry g(good);
  const auto first_offset_pos = [&] {
    return g.index_offset + format::kEntryKeyLengthSize + LoadBe16(good.data() + g.index_offset);
  };
  struct Case {
    std::uint64_t offset;
    std::string error;
  };
  const Case cases[] = {
      {g.record, "KalvCorruptError: index entry 0 refers to the mapped index"},
      {g.slots + 8 * (g.slot_count - 1),
       "KalvCorruptError: object offset " + std::to_string(g.slots + 8 * (g.slot_count - 1)) +
           " is not the start of an object record"},
  };
  for (const Case& c : cases) {
    std::string f = good;
    StoreBe64(f.data() + first_offset_pos(), c.offset);
    ResealAll(f);
    WriteFile(f);
    auto r = Open(true, true);
    ASSERT_TRUE(r);
    const Status checked = r->Verify();
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error().Render(), c.error);
  }
}

TEST_F(MappedIndexTest, ASampleOnAWrongButWholeEntryFailsWalksAndSearches) {
  const Model model = MakeModel(200, 19);
  Build(model, true);
  std::string f = ReadFile();
  const Geometry g(f);
  auto r = Open(false);
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  ASSERT_TRUE(r->ReadEntries(0, 40, keys, offsets).ok());
  std::uint64_t place_of_20 = 0;
  for (std::size_t i = 0; i < 20; ++i) place_of_20 += format::EntrySize(keys[i].size());
  const std::string key_17 = AsString(keys[17]);
  r.reset();
  StoreBe64(f.data() + g.samples + 8, place_of_20);  // sample 1 names entry 20, not 16
  ResealAll(f);
  WriteFile(f);
  auto mapped = Open(true, true);
  ASSERT_TRUE(mapped);
  keys.clear();
  offsets.clear();
  for (const auto& [first, last] : {std::pair{16, 17}, std::pair{17, 20}, std::pair{0, 200}}) {
    EXPECT_FALSE(mapped->ReadEntries(first, last, keys, offsets).ok()) << first;
  }
  for (const std::string& prefix : {key_17, key_17.substr(0, 1), std::string()}) {
    EXPECT_FALSE(mapped->SearchPrefix(AsBytes(prefix)).ok()) << prefix;
  }
  EXPECT_FALSE(mapped->FetchRange(0, 200).ok());
  EXPECT_FALSE(mapped->FetchUniqueObjects().ok());
}

}  // namespace
}  // namespace kalvex
