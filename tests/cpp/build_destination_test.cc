// What a build may write through and what it may replace: the temporary file is its own
// (never another live build's, never reached through a link), and the destination is a
// file, never a device.
#include "core/writer/writer.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/io/exclusive_file.h"
#include "core/io/file.h"

namespace kalvex::writer {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class BuildDestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kalvex-dest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    writer_.AddObject({reinterpret_cast<const std::uint8_t*>("v"), 1});
    ASSERT_TRUE(writer_.AddKey({reinterpret_cast<const std::uint8_t*>("k"), 1}, 0).ok());
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string BuildError(const fs::path& destination) {
    Result<BuildReport> built = writer_.Build(destination.string());
    return built.ok() ? "ok" : built.error().Render();
  }

  fs::path dir_;
  Writer writer_;
};

TEST_F(BuildDestinationTest, TemporaryFileOfALiveBuildIsLeftAloneAndAStaleOneIsReused) {
  const fs::path tmp = dir_ / "out.klvx.tmp";
  std::ofstream(tmp) << "another build's bytes";
  // flock belongs to the open file description, so a second open in this process
  // stands for another build as well as another process would.
  io::FileDescriptor other(::open(tmp.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);

  EXPECT_EQ(BuildError(dir_ / "out.klvx"),
            "KalvIOError: open tmp: " + tmp.string() + " is being written by another build");
  EXPECT_EQ(Slurp(tmp), "another build's bytes");
  EXPECT_FALSE(fs::exists(dir_ / "out.klvx"));

  other.Close();  // the holder is gone: what it left is reused
  EXPECT_EQ(BuildError(dir_ / "out.klvx"), "ok");
  EXPECT_FALSE(fs::exists(tmp));
  EXPECT_EQ(fs::file_size(dir_ / "out.klvx"), 60u);  // header, one record, one entry
}

TEST_F(BuildDestinationTest, TemporaryPathThatIsNotAPlainFileOfItsOwnIsRefused) {
  const fs::path tmp = dir_ / "out.klvx.tmp";
  const fs::path victim = dir_ / "victim";
  const std::string prefix = "KalvIOError: open tmp: " + tmp.string();
  struct Case {
    const char* name;
    void (*plant)(const fs::path& tmp, const fs::path& victim);
    std::string error;
  };
  const Case cases[] = {
      {"link to a file", [](const fs::path& t, const fs::path& v) { fs::create_symlink(v, t); },
       prefix + " is a symbolic link (a build never writes through one)"},
      {"dangling link", [](const fs::path& t, const fs::path&) { fs::create_symlink("nowhere", t); },
       prefix + " is a symbolic link (a build never writes through one)"},
      {"hard link", [](const fs::path& t, const fs::path& v) { fs::create_hard_link(v, t); },
       prefix + " has other hard links"},
      {"FIFO", [](const fs::path& t, const fs::path&) { ASSERT_EQ(::mkfifo(t.c_str(), 0600), 0); },
       prefix + " is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(victim) << "someone else's file";
    c.plant(tmp, victim);
    EXPECT_EQ(BuildError(dir_ / "out.klvx"), c.error);
    EXPECT_EQ(Slurp(victim), "someone else's file");
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
    EXPECT_FALSE(fs::exists(dir_ / "out.klvx"));
    fs::remove(tmp);
    fs::remove(victim);
  }
}

TEST_F(BuildDestinationTest, DeviceFifoOrSocketDestinationIsRefusedBeforeAnythingIsWritten) {
  const fs::path fifo = dir_ / "fifo.klvx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(BuildError(fifo), "KalvIOError: cannot replace " + fifo.string() +
                                  ": it is a FIFO, not a regular file");
  EXPECT_TRUE(fs::is_fifo(fifo));

  // Making a device node takes privileges; where they are missing the FIFO stands alone.
  const fs::path device = dir_ / "null.klvx";
  if (::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
    EXPECT_EQ(BuildError(device), "KalvIOError: cannot replace " + device.string() +
                                      ": it is a character device, not a regular file");
    EXPECT_TRUE(fs::is_character_file(device));
  }
  EXPECT_FALSE(fs::exists(dir_ / "fifo.klvx.tmp"));
  EXPECT_FALSE(fs::exists(dir_ / "null.klvx.tmp"));
}

TEST_F(BuildDestinationTest, SymbolicLinkAtTheDestinationIsReplacedAndItsTargetKept) {
  std::ofstream(dir_ / "target") << "kept";
  fs::create_symlink(dir_ / "target", dir_ / "out.klvx");
  EXPECT_EQ(BuildError(dir_ / "out.klvx"), "ok");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "out.klvx")));
  EXPECT_EQ(Slurp(dir_ / "target"), "kept");
}

TEST_F(BuildDestinationTest, WholeStoreAtTheTemporaryPathIsKeptUnlessABuildMarkedItAsItsOwn) {
  ASSERT_EQ(BuildError(dir_ / "published.klvx"), "ok");
  const fs::path tmp = dir_ / "out.klvx.tmp";
  fs::copy_file(dir_ / "published.klvx", tmp);  // a store published under that name
  const std::string store = Slurp(tmp);
  EXPECT_EQ(BuildError(dir_ / "out.klvx"), "KalvIOError: open tmp: " + tmp.string() +
                                               " holds a whole store that no build is writing; a build never "
                                               "overwrites one (move or remove it)");
  EXPECT_EQ(Slurp(tmp), store);
  EXPECT_FALSE(fs::exists(dir_ / "out.klvx"));

  // The same bytes left by a build that died before its rename carry its mark.
  if (::setxattr(tmp.c_str(), "user.kalvex.unpublished", "", 0, 0) != 0) GTEST_SKIP() << "no user xattrs here";
  EXPECT_EQ(BuildError(dir_ / "out.klvx"), "ok");
  EXPECT_FALSE(fs::exists(tmp));
  // A published store carries no mark: the next build beside it keeps it.
  EXPECT_LT(::getxattr((dir_ / "out.klvx").c_str(), "user.kalvex.unpublished", nullptr, 0), 0);
}

TEST_F(BuildDestinationTest, DestinationThatALiveBuildHoldsAsItsTemporaryFileIsRefused) {
  const fs::path held = dir_ / "out.klvx.tmp";
  std::ofstream(held) << "a live build's bytes";
  io::FileDescriptor other(::open(held.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
  EXPECT_EQ(BuildError(held), "KalvIOError: publish: " + held.string() +
                                  " is being written by another build (it is that build's temporary file)");
  EXPECT_EQ(Slurp(held), "a live build's bytes");
  other.Close();
  EXPECT_EQ(BuildError(held), "ok");  // its holder is gone: a leftover is replaced
}

TEST(PublishTest, TemporaryPathThatNoLongerNamesTheHeldFileIsNeverPublished) {
  char pattern[] = "/tmp/kalvex-publish-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  const std::string tmp = (dir / "out.klvx.tmp").string();
  const std::string dest = (dir / "out.klvx").string();
  for (const bool replace : {true, false}) {
    SCOPED_TRACE(replace ? "replaced" : "removed");
    Result<io::FileDescriptor> held = io::OpenExclusive(tmp, "open tmp", [](int) { return false; });
    ASSERT_TRUE(held.ok());
    if (replace) {
      std::ofstream(dir / "other") << "another file";
      fs::rename(dir / "other", tmp);
    } else {
      fs::remove(tmp);
    }
    const Status published = io::Publish(held.value(), tmp, dest);
    EXPECT_EQ(published.ok() ? "ok" : published.error().Render(),
              "KalvIOError: publish: " + tmp + " no longer names this build's file: " +
                  (replace ? "another file replaced it" : "it was removed") + "; nothing was published");
    EXPECT_FALSE(fs::exists(dest));
    fs::remove(tmp);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kalvex::writer
