// The C interface as a C caller meets it, linked against the shared libkalvex: every
// error kind through kalvex_error, batch calls and their all-or-nothing rule, chunked
// range reads with buffers too small, and the lifetime of handles and views.
#include "kalvex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Text(kalvex_bytes b) { return {reinterpret_cast<const char*>(b.data), b.size}; }
std::string Message(const kalvex_error& err) { return {err.message, err.message_size}; }
std::string Detail(const kalvex_error& err) { return Message(err).substr(err.detail_offset); }

class CapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/capi_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/store.klvx";
  }
  void TearDown() override {
    kalvex_error_clear(&err_);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // Objects "alpha", "" and "gamma!" under keys a, b, c; key "dup" shares object 0.
  void BuildSample() {
    kalvex_writer* w = nullptr;
    ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
    uint64_t id = 99;
    ASSERT_EQ(kalvex_writer_add_object(w, "alpha", 5, &id, &err_), KALVEX_OK);
    EXPECT_EQ(id, 0u);
    const std::string payloads = "gamma!";
    const size_t payload_ends[] = {0, 6};
    size_t added = 0;
    ASSERT_EQ(kalvex_writer_add_objects(w, 2, reinterpret_cast<const uint8_t*>(payloads.data()),
                                        payload_ends, &id, &added, &err_),
              KALVEX_OK);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(added, 2u);
    const std::string keys = "abcdup";
    const size_t key_ends[] = {1, 2, 3, 6};
    const uint64_t ids[] = {0, 1, 2, 0};
    ASSERT_EQ(kalvex_writer_add_keys(w, 4, reinterpret_cast<const uint8_t*>(keys.data()), key_ends, ids,
                                     &added, &err_),
              KALVEX_OK);
    kalvex_build_report report{};
    ASSERT_EQ(kalvex_writer_build(w, path_.data(), path_.size(), 0, &report, &err_), KALVEX_OK);
    EXPECT_EQ(report.num_objects, 3u);
    EXPECT_EQ(report.num_keys, 4u);
    kalvex_writer_free(w);
  }

  kalvex_reader* Open(int verify = 1) {
    kalvex_reader* r = nullptr;
    EXPECT_EQ(kalvex_reader_open(path_.data(), path_.size(), verify, &r, &err_), KALVEX_OK)
        << Message(err_);
    return r;
  }

  std::string ReadFile() {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void WriteFile(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }

  std::string dir_;
  std::string path_;
  kalvex_error err_ = KALVEX_ERROR_INIT;
};

TEST_F(CapiTest, WrittenStoreReadsBackInKeyOrder) {
  BuildSample();
  kalvex_reader* r = Open();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(kalvex_reader_entry_count(r), 4u);

  kalvex_bytes payload{};
  ASSERT_EQ(kalvex_reader_find(r, "c", 1, &payload, &err_), KALVEX_OK);
  EXPECT_EQ(Text(payload), "gamma!");
  ASSERT_EQ(kalvex_reader_find(r, "b", 1, &payload, &err_), KALVEX_OK);
  EXPECT_NE(payload.data, nullptr) << "an empty payload is found, not absent";
  EXPECT_EQ(payload.size, 0u);
  ASSERT_EQ(kalvex_reader_find(r, "x", 1, &payload, &err_), KALVEX_OK);
  EXPECT_EQ(payload.data, nullptr);
  int found = 0;
  ASSERT_EQ(kalvex_reader_exists(r, "dup", 3, &found, &err_), KALVEX_OK);
  EXPECT_EQ(found, 1);
  ASSERT_EQ(kalvex_reader_exists(r, "du", 2, &found, &err_), KALVEX_OK);
  EXPECT_EQ(found, 0);

  kalvex_bytes key{};
  ASSERT_EQ(kalvex_reader_entry(r, 3, &key, &payload, &err_), KALVEX_OK);
  EXPECT_EQ(Text(key), "dup");
  EXPECT_EQ(Text(payload), "alpha");

  size_t first = 0, last = 0;
  ASSERT_EQ(kalvex_reader_prefix_range(r, "d", 1, &first, &last, &err_), KALVEX_OK);
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(last, 4u);
  ASSERT_EQ(kalvex_reader_prefix_range(r, "", 0, &first, &last, &err_), KALVEX_OK);
  EXPECT_EQ(last - first, 4u);

  kalvex_stats stats{};
  kalvex_reader_stats(r, &stats);
  EXPECT_EQ(stats.num_keys, 4u);
  EXPECT_EQ(stats.num_objects, 3u);
  EXPECT_EQ(stats.user_objects, 3u);
  EXPECT_EQ(stats.version, 2u);
  EXPECT_EQ(stats.data_offset, 40u);
  EXPECT_EQ(stats.file_size, ReadFile().size());
  EXPECT_EQ(Text(kalvex_reader_path(r)), path_);

  kalvex_objects* objects = nullptr;
  ASSERT_EQ(kalvex_reader_objects(r, &objects, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_objects_count(objects), 3u);
  EXPECT_EQ(Text(kalvex_objects_items(objects)[0]), "alpha");
  kalvex_objects_free(objects);
  EXPECT_EQ(kalvex_reader_verify(r, &err_), KALVEX_OK);
  kalvex_reader_close(r);
}

TEST_F(CapiTest, RangeReadsStopAtFullBuffersAndSayWhatTheNextEntryNeeds) {
  BuildSample();
  kalvex_reader* r = Open();
  uint8_t keys[8], payloads[8];
  size_t key_ends[4], payload_ends[4];
  kalvex_chunk chunk{};
  // Keys a, b, c fit (3 bytes); payloads alpha + "" fit, gamma! does not: two entries.
  ASSERT_EQ(kalvex_reader_read_range(r, 0, 4, 4, keys, 8, key_ends, payloads, 8, payload_ends, &chunk,
                                     &err_),
            KALVEX_OK);
  EXPECT_EQ(chunk.count, 2u);
  EXPECT_EQ(chunk.keys_size, 2u);
  EXPECT_EQ(chunk.payloads_size, 5u);
  EXPECT_EQ(chunk.keys_ascii, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(payloads), 5), "alpha");
  // Entry 2 alone needs 6 payload bytes, more than 4 offered: nothing copied.
  ASSERT_EQ(kalvex_reader_read_range(r, 2, 4, 4, keys, 8, key_ends, payloads, 4, payload_ends, &chunk,
                                     &err_),
            KALVEX_OK);
  EXPECT_EQ(chunk.count, 0u);
  EXPECT_EQ(chunk.payload_need, 6u);
  // Keys only, a past-the-end `last` clamped, max_entries honoured.
  ASSERT_EQ(kalvex_reader_read_range(r, 1, 1000, 2, keys, 8, key_ends, nullptr, 0, nullptr, &chunk, &err_),
            KALVEX_OK);
  EXPECT_EQ(chunk.count, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(keys), chunk.keys_size), "bc");
  kalvex_reader_close(r);
}

TEST_F(CapiTest, EveryErrorKindArrivesWithTheRenderedMessage) {
  BuildSample();
  const std::string good = ReadFile();

  kalvex_reader* r = nullptr;
  const std::string missing = dir_ + "/missing.klvx";
  ASSERT_EQ(kalvex_reader_open(missing.data(), missing.size(), 1, &r, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(err_.kind, KALVEX_KIND_IO);
  EXPECT_EQ(Message(err_), "KalvIOError: cannot open " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(Detail(err_), "cannot open " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(err_.message[err_.message_size], '\0');
  EXPECT_EQ(err_.os_errno, ENOENT);
  ASSERT_NE(err_.path, nullptr);
  EXPECT_EQ(std::string(err_.path, err_.path_size), missing);

  std::string versioned = good;
  versioned[4] = 3;
  WriteFile(versioned);
  ASSERT_EQ(kalvex_reader_open(path_.data(), path_.size(), 1, &r, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_VERSION);
  EXPECT_EQ(Message(err_), "KalvVersionError: unsupported version 3");
  EXPECT_EQ(Detail(err_), "unsupported version 3");
  EXPECT_EQ(err_.os_errno, 0) << "only an I/O error carries an errno and a path";
  EXPECT_EQ(err_.path, nullptr);

  std::string damaged = good;
  damaged[44] ^= 1;  // inside the first payload: only the checksum notices
  WriteFile(damaged);
  ASSERT_EQ(kalvex_reader_open(path_.data(), path_.size(), 1, &r, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_CORRUPT);
  EXPECT_EQ(Message(err_).rfind("KalvCorruptError: ", 0), 0u) << Message(err_);

  WriteFile(good);
  r = Open();
  kalvex_bytes key{};
  ASSERT_EQ(kalvex_reader_entry(r, 4, &key, nullptr, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_ERROR);
  EXPECT_EQ(Message(err_), "KalvError: position 4 is out of range for 4 entries");
  EXPECT_EQ(Detail(err_), "position 4 is out of range for 4 entries");
  // A success leaves the last error in place.
  ASSERT_EQ(kalvex_reader_entry(r, 0, &key, nullptr, &err_), KALVEX_OK);
  EXPECT_EQ(err_.kind, KALVEX_KIND_ERROR);
  kalvex_reader_close(r);

  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_writer_add_key(w, "k", 1, 0, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_ERROR);
  EXPECT_EQ(Message(err_), "KalvError: obj_id 0 out of range (have 0 objects)");
  kalvex_writer_free(w);

  // A build's I/O error names the temporary file it could not create.
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  const std::string nowhere = dir_ + "/no/such/out.klvx";
  ASSERT_EQ(kalvex_writer_build(w, nowhere.data(), nowhere.size(), 0, nullptr, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.os_errno, ENOENT);
  EXPECT_EQ(std::string(err_.path, err_.path_size), dir_ + "/no/such/out.klvx.tmp");
  kalvex_writer_free(w);

  // A NULL error record is allowed: the status alone still tells.
  EXPECT_EQ(kalvex_reader_open(missing.data(), missing.size(), 1, &r, nullptr), KALVEX_STORE_ERROR);
}

TEST_F(CapiTest, DamagedRecordFailsLookupsAndEndsRangeReadsAfterTheEntriesBeforeIt) {
  BuildSample();
  std::string file = ReadFile();
  // Object 1 (the empty payload under "b") starts after object 0's 8-byte head and 5
  // bytes; a length running past the end of the file is caught without the checksum.
  const size_t record = 40 + 8 + 5;
  for (int i = 0; i < 4; ++i) file[record + i] = static_cast<char>(0xFF);
  WriteFile(file);
  kalvex_reader* r = Open(0);
  kalvex_bytes payload{};
  ASSERT_EQ(kalvex_reader_find(r, "b", 1, &payload, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_CORRUPT);
  EXPECT_EQ(payload.data, nullptr);
  ASSERT_EQ(kalvex_reader_find(r, "a", 1, &payload, &err_), KALVEX_OK);
  EXPECT_EQ(Text(payload), "alpha");

  uint8_t keys[64], payloads[64];
  size_t key_ends[4], payload_ends[4];
  kalvex_chunk chunk{};
  ASSERT_EQ(kalvex_reader_read_range(r, 0, 4, 4, keys, 64, key_ends, payloads, 64, payload_ends, &chunk,
                                     &err_),
            KALVEX_STORE_ERROR);
  EXPECT_EQ(chunk.count, 1u);
  EXPECT_EQ(err_.kind, KALVEX_KIND_CORRUPT);
  kalvex_bytes views[4];
  size_t count = 9;
  ASSERT_EQ(kalvex_reader_entries(r, 0, 4, 4, nullptr, views, nullptr, &count, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(count, 1u) << "the entries before the damaged record are delivered";
  EXPECT_EQ(Text(views[0]), "alpha");
  ASSERT_EQ(kalvex_reader_entries(r, 1, 4, 4, nullptr, views, nullptr, &count, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(err_.kind, KALVEX_KIND_CORRUPT);
  uint64_t offsets[4];
  ASSERT_EQ(kalvex_reader_entries(r, 0, 4, 4, views, nullptr, offsets, &count, &err_), KALVEX_OK)
      << "keys and object ids come from the index alone";
  EXPECT_EQ(count, 4u);
  kalvex_objects* objects = nullptr;
  EXPECT_EQ(kalvex_reader_objects(r, &objects, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(objects, nullptr);
  EXPECT_EQ(kalvex_reader_verify(r, &err_), KALVEX_STORE_ERROR);
  kalvex_reader_close(r);
}

TEST_F(CapiTest, EntryViewsCarryObjectIdsThatSharedObjectsShare) {
  BuildSample();
  kalvex_reader* r = Open();
  kalvex_bytes keys[4], payloads[4];
  uint64_t offsets[4];
  size_t count = 0;
  ASSERT_EQ(kalvex_reader_entries(r, 0, 99, 4, keys, payloads, offsets, &count, &err_), KALVEX_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(Text(keys[3]), "dup");
  EXPECT_EQ(Text(payloads[3]), "alpha");
  EXPECT_EQ(offsets[3], offsets[0]) << "a and dup map to one object";
  EXPECT_EQ(offsets[0], 40u) << "the first record follows the header";
  EXPECT_NE(offsets[1], offsets[2]);
  // max_entries and a start past the end.
  ASSERT_EQ(kalvex_reader_entries(r, 2, 4, 1, keys, nullptr, nullptr, &count, &err_), KALVEX_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Text(keys[0]), "c");
  ASSERT_EQ(kalvex_reader_entries(r, 5, 9, 4, keys, nullptr, nullptr, &count, &err_), KALVEX_OK);
  EXPECT_EQ(count, 0u);

  kalvex_objects* objects = nullptr;
  ASSERT_EQ(kalvex_reader_objects(r, &objects, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_objects_count(objects), 3u);
  EXPECT_EQ(std::vector<uint64_t>(kalvex_objects_offsets(objects), kalvex_objects_offsets(objects) + 3),
            std::vector<uint64_t>(offsets, offsets + 3));
  kalvex_objects_free(objects);
  kalvex_reader_close(r);
}

TEST_F(CapiTest, WriterAnswersWhetherItHoldsAKey) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  uint64_t id = 0;
  ASSERT_EQ(kalvex_writer_add_object(w, "v", 1, &id, &err_), KALVEX_OK);
  int found = 7;
  ASSERT_EQ(kalvex_writer_contains_key(w, "k", 1, &found, &err_), KALVEX_OK);
  EXPECT_EQ(found, 0);
  ASSERT_EQ(kalvex_writer_add_key(w, "k", 1, id, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_writer_contains_key(w, "k", 1, &found, &err_), KALVEX_OK);
  EXPECT_EQ(found, 1) << "a key just added is seen, though its placement is deferred";
  ASSERT_EQ(kalvex_writer_contains_key(w, "", 0, &found, &err_), KALVEX_OK);
  EXPECT_EQ(found, 0);
  kalvex_writer_free(w);
}

TEST_F(CapiTest, KeyBatchWithOneBadKeyChangesNothing) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  uint64_t id = 0;
  ASSERT_EQ(kalvex_writer_add_object(w, "v", 1, &id, &err_), KALVEX_OK);
  const std::string long_key(70000, 'k');
  const std::string keys = "ab" + long_key;
  const size_t ends[] = {1, 2, keys.size()};
  const uint64_t ids[] = {0, 0, 0};
  size_t added = 9;
  ASSERT_EQ(kalvex_writer_add_keys(w, 3, reinterpret_cast<const uint8_t*>(keys.data()), ends, ids, &added,
                                   &err_),
            KALVEX_STORE_ERROR);
  EXPECT_EQ(added, 2u);
  EXPECT_EQ(Message(err_), "KalvError: key is 70000 bytes, format maximum is 65535");
  uint64_t num_keys = 9;
  ASSERT_EQ(kalvex_writer_num_keys(w, &num_keys, &err_), KALVEX_OK);
  EXPECT_EQ(num_keys, 0u);
  kalvex_writer_free(w);
}

TEST_F(CapiTest, MappedAddChecksEveryKeyBeforeStoringAndSharesUniquePayloads) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  const std::string keys = "ab" + std::string(70000, 'k');
  const size_t ends[] = {1, 2, keys.size()};
  const auto* blob = reinterpret_cast<const uint8_t*>(keys.data());
  uint64_t id = 9;
  ASSERT_EQ(kalvex_writer_add_mapped(w, "v", 1, 1, 3, blob, ends, &id, &err_), KALVEX_STORE_ERROR);
  EXPECT_EQ(Message(err_), "KalvError: key is 70000 bytes, format maximum is 65535");
  EXPECT_EQ(kalvex_writer_num_objects(w), 0u) << "a refused key stores no object";

  ASSERT_EQ(kalvex_writer_add_mapped(w, "v", 1, 1, 2, blob, ends, &id, &err_), KALVEX_OK);
  uint64_t again = 9;
  ASSERT_EQ(kalvex_writer_add_mapped(w, "v", 1, 1, 1, blob + 1, ends, &again, &err_), KALVEX_OK);
  EXPECT_EQ(again, id) << "unique: equal payloads share one object";
  ASSERT_EQ(kalvex_writer_add_mapped(w, "v", 1, 0, 0, nullptr, nullptr, &again, &err_), KALVEX_OK);
  EXPECT_NE(again, id) << "plain: every call stores its own object";
  uint64_t num_keys = 0;
  ASSERT_EQ(kalvex_writer_num_keys(w, &num_keys, &err_), KALVEX_OK);
  EXPECT_EQ(num_keys, 2u);
  EXPECT_EQ(kalvex_writer_num_objects(w), 2u);
  kalvex_writer_free(w);
}

TEST_F(CapiTest, PairsAreAddedInOrderAfterEveryKeyIsChecked) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  // 40 pairs (beyond two groups of the unique add's look-ahead): payload i % 3, key "k{i % 37}",
  // so the last three keys come again with other payloads.
  std::string payloads, keys;
  std::vector<size_t> payload_ends, key_ends;
  for (int i = 0; i < 40; ++i) {
    payloads += std::string(1 + i % 3, 'p');
    payload_ends.push_back(payloads.size());
    keys += "k" + std::to_string(i % 37);
    key_ends.push_back(keys.size());
  }
  const auto* p = reinterpret_cast<const uint8_t*>(payloads.data());
  const std::string long_key(70000, 'x');
  const std::string bad_keys = "ab" + long_key;
  const size_t bad_ends[] = {1, 2, bad_keys.size()};
  size_t added = 9;
  ASSERT_EQ(kalvex_writer_add_pairs(w, 1, 3, p, payload_ends.data(), reinterpret_cast<const uint8_t*>(bad_keys.data()),
                                    bad_ends, &added, &err_),
            KALVEX_STORE_ERROR);
  EXPECT_EQ(Message(err_), "KalvError: key is 70000 bytes, format maximum is 65535");
  EXPECT_EQ(added, 2u);
  EXPECT_EQ(kalvex_writer_num_objects(w), 0u) << "a refused key stores nothing of the batch";

  ASSERT_EQ(kalvex_writer_add_pairs(w, 1, 40, p, payload_ends.data(), reinterpret_cast<const uint8_t*>(keys.data()),
                                    key_ends.data(), &added, &err_),
            KALVEX_OK);
  EXPECT_EQ(added, 40u);
  EXPECT_EQ(kalvex_writer_num_objects(w), 3u) << "unique: equal payloads share one object";
  ASSERT_EQ(kalvex_writer_add_pairs(w, 0, 2, p, payload_ends.data(), reinterpret_cast<const uint8_t*>(keys.data()),
                                    key_ends.data(), &added, &err_),
            KALVEX_OK);
  EXPECT_EQ(kalvex_writer_num_objects(w), 5u) << "plain: every pair stores its own object";
  kalvex_build_report report{};
  ASSERT_EQ(kalvex_writer_build(w, path_.data(), path_.size(), 0, &report, &err_), KALVEX_OK);
  EXPECT_EQ(report.num_keys, 37u);
  kalvex_writer_free(w);
  kalvex_reader* r = Open();
  // A key given again ends on its later payload: k2 within the batch (pairs 2 and 39),
  // k1 across calls (pair 38, then the plain batch's pair 1).
  for (const auto& [key, payload] : {std::pair<std::string, std::string>{"k2", "p"}, {"k1", "pp"}}) {
    kalvex_bytes found{};
    ASSERT_EQ(kalvex_reader_find(r, key.data(), key.size(), &found, &err_), KALVEX_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(found.data), found.size), payload) << key;
  }
  kalvex_reader_close(r);
}

TEST_F(CapiTest, ViewsOutliveTheWriterAndOtherReadersButNotTheirOwn) {
  BuildSample();
  kalvex_reader* first = Open();
  kalvex_reader* second = Open();
  kalvex_bytes payload{};
  ASSERT_EQ(kalvex_reader_find(first, "a", 1, &payload, &err_), KALVEX_OK);
  kalvex_reader_close(second);
  // Under AddressSanitizer a view into a freed reader's state would be reported here.
  EXPECT_EQ(Text(payload), "alpha");
  EXPECT_EQ(Text(kalvex_reader_path(first)), path_);
  kalvex_reader_close(first);
  kalvex_reader_close(nullptr);
  kalvex_writer_free(nullptr);
  kalvex_objects_free(nullptr);
  kalvex_error_clear(nullptr);
}

TEST_F(CapiTest, BuildPrintsTheSummaryLineOnlyWhenAsked) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  uint64_t id = 0;
  ASSERT_EQ(kalvex_writer_add_object(w, "v", 1, &id, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_writer_add_key(w, "k", 1, id, &err_), KALVEX_OK);
  testing::internal::CaptureStdout();
  ASSERT_EQ(kalvex_writer_build(w, path_.data(), path_.size(), 0, nullptr, &err_), KALVEX_OK);
  ASSERT_EQ(kalvex_writer_build(w, path_.data(), path_.size(), 1, nullptr, &err_), KALVEX_OK);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "\u2705  " + path_ + "  \u2014  1 objects \u00b7 1 keys \u00b7 0.1 KB\n");
  // A failed build reports the core's error and leaves the built file alone.
  const std::string into_missing_dir = dir_ + "/no/such/dir.klvx";
  ASSERT_EQ(kalvex_writer_build(w, into_missing_dir.data(), into_missing_dir.size(), 1, nullptr, &err_),
            KALVEX_STORE_ERROR);
  EXPECT_EQ(err_.kind, KALVEX_KIND_IO);
  kalvex_writer_free(w);
  kalvex_reader* r = Open();
  EXPECT_EQ(kalvex_reader_entry_count(r), 1u);
  kalvex_reader_close(r);
}

}  // namespace

namespace {

// A store built with the mapped index opens through it, answers batches in order, and
// still counts as a store of one more object; without it, nothing changes.
TEST_F(CapiTest, BuildWithMappedIndexOpensThroughItAndAnswersBatchesInOrder) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  for (int i = 0; i < 1000; ++i) {
    const std::string key = "key" + std::to_string(i);
    const std::string value = "value" + std::to_string(i);
    uint64_t id = 0;
    ASSERT_EQ(kalvex_writer_add_object(w, value.data(), value.size(), &id, &err_), KALVEX_OK);
    ASSERT_EQ(kalvex_writer_add_key(w, key.data(), key.size(), id, &err_), KALVEX_OK);
  }
  for (const int mapped : {0, 1}) {
    kalvex_build_options options{};
    options.mapped_index = mapped;
    kalvex_build_report report{};
    ASSERT_EQ(kalvex_writer_build_with(w, path_.data(), path_.size(), &options, &report, &err_), KALVEX_OK);
    EXPECT_EQ(report.num_objects, 1000u);
    EXPECT_EQ(report.index_size != 0, mapped == 1);
    kalvex_reader* r = Open(1);
    ASSERT_NE(r, nullptr);
    kalvex_stats stats{};
    kalvex_reader_stats(r, &stats);
    EXPECT_EQ(stats.mapped_index, mapped);
    EXPECT_EQ(stats.index_size, report.index_size);
    EXPECT_EQ(stats.num_objects, 1000u + mapped);
    EXPECT_EQ(stats.user_objects, 1000u);
    EXPECT_EQ(kalvex_reader_memory_usage(r) == 0, mapped == 1);

    // Present and absent keys interleaved, more than one group and one block of the call.
    std::string keys;
    std::vector<size_t> ends;
    for (int i = 0; i < 700; ++i) {
      keys += (i % 3 == 0 ? "nokey" : "key") + std::to_string(i);
      ends.push_back(keys.size());
    }
    std::vector<kalvex_bytes> payloads(ends.size());
    ASSERT_EQ(kalvex_reader_find_many(r, ends.size(), reinterpret_cast<const uint8_t*>(keys.data()), ends.data(),
                                      payloads.data(), &err_),
              KALVEX_OK);
    for (int i = 0; i < 700; ++i) {
      if (i % 3 == 0) {
        EXPECT_EQ(payloads[i].data, nullptr) << i;
      } else {
        EXPECT_EQ(Text(payloads[i]), "value" + std::to_string(i));
      }
    }
    kalvex_bytes key{}, payload{};
    ASSERT_EQ(kalvex_reader_entry(r, 999, &key, &payload, &err_), KALVEX_OK);
    EXPECT_EQ(Text(key), "key999");
    EXPECT_EQ(Text(payload), "value999");
    size_t first = 0, last = 0;
    ASSERT_EQ(kalvex_reader_prefix_range(r, "key99", 5, &first, &last, &err_), KALVEX_OK);
    EXPECT_EQ(last - first, 11u);  // key99 and key990..key999
    EXPECT_EQ(kalvex_reader_verify(r, &err_), KALVEX_OK) << Message(err_);
    kalvex_reader_close(r);
  }
  kalvex_writer_free(w);
}

// Keys in reverse order of their objects: key order reads the file back to front, so the
// file order is the range reversed; on a parsed index and through the mapped one alike.
TEST_F(CapiTest, FileOrderReadsObjectsFrontToBackAndParsingLeavesAMappedIndexAlone) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  constexpr int kCount = 50;
  for (int i = 0; i < kCount; ++i) {
    const std::string key = "k" + std::to_string(100 + kCount - 1 - i);  // k149 first
    uint64_t id = 0;
    ASSERT_EQ(kalvex_writer_add_object(w, key.data(), key.size(), &id, &err_), KALVEX_OK);
    ASSERT_EQ(kalvex_writer_add_key(w, key.data(), key.size(), id, &err_), KALVEX_OK);
  }
  kalvex_build_options build{};
  build.mapped_index = 1;
  ASSERT_EQ(kalvex_writer_build_with(w, path_.data(), path_.size(), &build, nullptr, &err_), KALVEX_OK);
  kalvex_writer_free(w);

  for (const int parse_index : {0, 1}) {
    const kalvex_open_options options{1, 0, parse_index};
    kalvex_reader* r = nullptr;
    ASSERT_EQ(kalvex_reader_open_with(path_.data(), path_.size(), &options, &r, &err_), KALVEX_OK);
    kalvex_stats stats{};
    kalvex_reader_stats(r, &stats);
    EXPECT_EQ(stats.mapped_index, 1 - parse_index);
    EXPECT_EQ(stats.num_objects, kCount + 1u) << "the carried index counts either way";

    std::vector<size_t> places(kCount);
    std::vector<uint64_t> offsets(kCount);
    size_t count = 99;
    ASSERT_EQ(kalvex_reader_file_order(r, 0, kCount, places.data(), offsets.data(), &count, &err_), KALVEX_OK);
    ASSERT_EQ(count, size_t{kCount});
    for (size_t k = 0; k < count; ++k) {
      EXPECT_EQ(places[k], kCount - 1 - k);
      kalvex_bytes payload{};
      ASSERT_EQ(kalvex_reader_object(r, offsets[k], &payload, &err_), KALVEX_OK);
      EXPECT_EQ(Text(payload), "k" + std::to_string(100 + places[k])) << "the payload of the key at that place";
      if (k > 0) {
        EXPECT_GT(offsets[k], offsets[k - 1]);
      }
    }
    // Nothing to gain: one entry, or a range already in file order.
    ASSERT_EQ(kalvex_reader_file_order(r, 3, 4, places.data(), offsets.data(), &count, &err_), KALVEX_OK);
    EXPECT_EQ(count, 0u);

    kalvex_bytes payload{};
    EXPECT_EQ(kalvex_reader_object(r, stats.file_size - 2, &payload, &err_), KALVEX_STORE_ERROR);
    EXPECT_EQ(err_.kind, KALVEX_KIND_CORRUPT);
    EXPECT_EQ(payload.data, nullptr);
    kalvex_reader_close(r);
  }
}

}  // namespace

namespace {

// A compressed store through the C interface alone: the views are stored payloads that
// value_size and decode turn into the values, read_range copies the values decoded, and
// a dictionary trained by one writer is carried by the store another one builds with it.
TEST_F(CapiTest, CompressedStoreDecodesThroughTheCallsAndCarriesTheGivenDictionary) {
  kalvex_writer* w = nullptr;
  ASSERT_EQ(kalvex_writer_new(&w, &err_), KALVEX_OK);
  std::vector<std::string> values;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = "key" + std::to_string(100000 + i);
    values.push_back("{\"name\": \"item " + std::to_string(i) + "\", \"tags\": [\"common\", \"shared\", \"words\"]}");
    uint64_t id = 0;
    ASSERT_EQ(kalvex_writer_add_object(w, values.back().data(), values.back().size(), &id, &err_), KALVEX_OK);
    ASSERT_EQ(kalvex_writer_add_key(w, key.data(), key.size(), id, &err_), KALVEX_OK);
  }
  std::vector<uint8_t> dictionary(KALVEX_MAX_DICTIONARY_SIZE);
  size_t dictionary_size = 0;
  ASSERT_EQ(kalvex_writer_train_dictionary(w, dictionary.data(), dictionary.size() - 1, &dictionary_size, &err_),
            KALVEX_STORE_ERROR);
  ASSERT_EQ(kalvex_writer_train_dictionary(w, dictionary.data(), dictionary.size(), &dictionary_size, &err_),
            KALVEX_OK);
  ASSERT_GT(dictionary_size, 0u);
  kalvex_build_options options{};
  options.compression = 1;
  options.dictionary = dictionary.data();
  options.dictionary_size = dictionary_size;
  ASSERT_EQ(kalvex_writer_build_with(w, path_.data(), path_.size(), &options, nullptr, &err_), KALVEX_OK);
  kalvex_writer_free(w);

  kalvex_reader* r = Open(1);
  ASSERT_NE(r, nullptr);
  kalvex_stats stats{};
  kalvex_reader_stats(r, &stats);
  EXPECT_EQ(stats.compressed, 1);
  EXPECT_EQ(stats.user_objects, 2000u);
  EXPECT_EQ(stats.num_objects, 2001u);
  EXPECT_EQ(stats.dictionary_size, dictionary_size);
  EXPECT_LT(stats.stored_bytes, stats.original_bytes / 2);
  const kalvex_bytes carried = kalvex_reader_dictionary(r);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(carried.data), carried.size),
            std::string(reinterpret_cast<const char*>(dictionary.data()), dictionary_size));

  kalvex_bytes stored{};
  ASSERT_EQ(kalvex_reader_find(r, "key100007", 9, &stored, &err_), KALVEX_OK);
  size_t size = 0;
  ASSERT_EQ(kalvex_reader_value_size(r, stored, &size, &err_), KALVEX_OK);
  ASSERT_EQ(size, values[7].size());
  std::string value(size, '\0');
  EXPECT_EQ(kalvex_reader_decode(r, stored, reinterpret_cast<uint8_t*>(value.data()), size + 1, &err_),
            KALVEX_STORE_ERROR);
  ASSERT_EQ(kalvex_reader_decode(r, stored, reinterpret_cast<uint8_t*>(value.data()), size, &err_), KALVEX_OK);
  EXPECT_EQ(value, values[7]);

  std::vector<uint8_t> keys(1 << 16), payloads(1 << 16);
  std::vector<size_t> key_ends(3000), payload_ends(3000);
  kalvex_chunk chunk{};
  ASSERT_EQ(kalvex_reader_read_range(r, 0, 2000, 3000, keys.data(), keys.size(), key_ends.data(), payloads.data(),
                                     payloads.size(), payload_ends.data(), &chunk, &err_),
            KALVEX_OK);
  ASSERT_GT(chunk.count, 100u);
  for (size_t i = 0; i < chunk.count; ++i) {
    const size_t begin = i == 0 ? 0 : payload_ends[i - 1];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(payloads.data()) + begin, payload_ends[i] - begin), values[i]);
  }
  EXPECT_EQ(kalvex_reader_verify(r, &err_), KALVEX_OK);
  kalvex_reader_close(r);
}

}  // namespace
