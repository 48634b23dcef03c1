// A writer under a tiny memory budget spills its keys to runs; whatever it spilled, its
// counts, its membership answers and the bytes of every build are those of the same adds
// to a writer without a budget.
#include <dirent.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/writer/writer.h"

namespace kalvex::writer {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> AsBytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Descriptors this process holds: each spilled run holds one.
int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class KeyRunsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kalvex_key_runs_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Bytes BuildBytes(const Writer& writer, const BuildOptions& options, const std::string& name) {
    const fs::path path = dir_ / name;
    auto built = writer.Build(path.string(), options);
    EXPECT_TRUE(built.ok()) << (built.ok() ? "" : built.error().Render());
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

// Keys drawn from a small space, so that many repeat within and across runs; of varied
// lengths, the empty key and keys that are prefixes of others among them.
std::string RandomKey(std::mt19937_64& rng) {
  const std::uint64_t n = rng() % 30000;
  std::string key = "k" + std::to_string(n);
  if (n % 7 == 0) key.resize(n % 4);                   // "", "k", "k1", ...
  if (n % 11 == 0) key += std::string(n % 300, 'z');   // long keys sharing a prefix
  return key;
}

TEST_F(KeyRunsTest, SpilledWritersBuildTheBytesOfTheWriterInMemory) {
  std::mt19937_64 rng(7);
  Writer plain;
  const int before = OpenDescriptors();
  Writer spilled(WriterOptions{1 << 19, (dir_ / "out.klvx").string()});
  std::set<std::string> model;
  for (int i = 0; i < 100000; ++i) {
    const std::string key = RandomKey(rng);
    const std::string value = "v" + std::to_string(rng() % 5000);
    // Objects repeat too, and some are never reached: drop_unreferenced has work to do.
    // Past its payload index's share the budgeted writer may give a repeat an id of its
    // own (see deferred_payloads.h): each writer maps its own ids.
    const std::uint64_t id = plain.AddObjectUnique(AsBytes(value));
    const std::uint64_t spilled_id = spilled.AddObjectUnique(AsBytes(value));
    if (i % 3 == 0) continue;
    ASSERT_TRUE(plain.AddKey(AsBytes(key), id).ok());
    ASSERT_TRUE(spilled.AddKey(AsBytes(key), spilled_id).ok());
    model.insert(key);
    if (i % 30000 == 0) {  // a count in between reads the runs, and a later add moves it
      ASSERT_EQ(spilled.num_keys().value(), model.size());
    }
  }
  // More runs than a writer keeps: some were merged into one on the way.
  EXPECT_GT(OpenDescriptors() - before, 1);

  EXPECT_EQ(spilled.num_keys().value(), model.size());
  EXPECT_EQ(spilled.num_keys().value(), plain.num_keys().value());
  for (int i = 0; i < 3000; ++i) {
    const std::string key = i % 2 ? RandomKey(rng) : "k" + std::to_string(rng() % 40000) + "~";
    ASSERT_EQ(spilled.ContainsKey(AsBytes(key)).value(), model.count(key) == 1) << key;
  }
  for (const std::string absent : {"", "\xff\xff", "a", "k99999"}) {
    ASSERT_EQ(spilled.ContainsKey(AsBytes(absent)).value(), model.count(absent) == 1) << absent;
  }

  for (int mask = 0; mask < 8; ++mask) {
    BuildOptions options;
    options.mapped_index = mask & 1;
    options.drop_unreferenced = mask & 2;
    options.compression.enabled = mask & 4;
    const std::string suffix = std::to_string(mask) + ".klvx";
    EXPECT_EQ(BuildBytes(spilled, options, "spilled" + suffix), BuildBytes(plain, options, "plain" + suffix))
        << "options " << mask;
  }
}

TEST_F(KeyRunsTest, TheLastAssignmentWinsAcrossRunsAndTheMap) {
  // A key assigned in the first run, again in a later one and last in the map: each
  // assignment made while the others lie elsewhere.
  Writer plain;
  Writer spilled(WriterOptions{1 << 18, {}});
  std::vector<std::string> filler;
  for (int i = 0; i < 40000; ++i) filler.push_back("f" + std::to_string(i));
  const auto both = [&](const std::string& key, const std::string& value) {
    const std::uint64_t id = plain.AddObject(AsBytes(value));
    ASSERT_EQ(spilled.AddObject(AsBytes(value)), id);
    ASSERT_TRUE(plain.AddKey(AsBytes(key), id).ok());
    ASSERT_TRUE(spilled.AddKey(AsBytes(key), id).ok());
  };
  for (int round = 0; round < 3; ++round) {
    both("shared", "round " + std::to_string(round));
    for (int i = round; i < 40000; i += 3) both(filler[i], std::to_string(round));
  }
  both("shared", "last");
  EXPECT_EQ(spilled.num_keys().value(), 40001u);
  BuildOptions options;
  options.drop_unreferenced = true;
  EXPECT_EQ(BuildBytes(spilled, options, "a.klvx"), BuildBytes(plain, options, "b.klvx"));
}

TEST_F(KeyRunsTest, AWriterGrownAfterASpilledBuildBuildsAgain) {
  Writer plain;
  Writer spilled(WriterOptions{1 << 18, {}});
  for (int phase = 0; phase < 2; ++phase) {
    for (int i = 0; i < 30000; ++i) {
      const std::string key = "p" + std::to_string((i * 7919 + phase * 13) % 45000);
      const std::uint64_t id = plain.AddObject(AsBytes(key));
      ASSERT_EQ(spilled.AddObject(AsBytes(key)), id);
      ASSERT_TRUE(plain.AddKey(AsBytes(key), id).ok());
      ASSERT_TRUE(spilled.AddKey(AsBytes(key), id).ok());
    }
    // A plan and its commit, then a change: the plan is stale as for the writer in memory.
    auto plan = spilled.Plan();
    ASSERT_TRUE(plan.ok());
    ASSERT_TRUE(spilled.Commit(plan.value(), (dir_ / "c.klvx").string()).ok());
    EXPECT_EQ(BuildBytes(spilled, {}, "s.klvx"), BuildBytes(plain, {}, "p.klvx")) << "phase " << phase;
  }
}

TEST_F(KeyRunsTest, AnUnwritableScratchDirectoryFailsTheAddAndChangesNothing) {
  Writer writer(WriterOptions{1 << 16, "/proc/no-such-dir/out.klvx"});
  std::uint64_t added = 0;
  Status failed;
  for (int i = 0; i < 20000 && failed.ok(); ++i) {
    const std::string key = "x" + std::to_string(i);
    const std::uint64_t id = writer.AddObject(AsBytes(key));
    failed = writer.AddKey(AsBytes(key), id);
    if (failed.ok()) ++added;
  }
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kIO);
  EXPECT_EQ(writer.num_keys().value(), added);
  EXPECT_FALSE(writer.ContainsKey(AsBytes("x" + std::to_string(added))).value());
  EXPECT_TRUE(writer.ContainsKey(AsBytes("x0")).value());
}

}  // namespace
}  // namespace kalvex::writer
