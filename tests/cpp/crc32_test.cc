// The CRC-32 accumulator and every engine behind it: published and zlib-computed values,
// agreement of each engine with the table engine at every length and alignment, running
// accumulation over any split, the engine choice rules and the folding constants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/crc32_engines.h"
#include "core/format/crc32_fold_constants.h"
#include "crc32_vectors.h"

#include <sys/mman.h>
#include <unistd.h>

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace kalvex::crc32 {

void PrintTo(Engine engine, std::ostream* os) { *os << EngineName(engine); }

namespace {

// 64-byte aligned storage, so that `At(offset)` sits exactly `offset` bytes past a line.
class Buffer {
 public:
  explicit Buffer(std::size_t n, std::uint64_t seed) : storage_(new std::uint8_t[n + 64]) {
    base_ = storage_.get() + (64 - reinterpret_cast<std::uintptr_t>(storage_.get()) % 64) % 64;
    std::mt19937_64 rng(seed);
    for (std::size_t i = 0; i < n; ++i) base_[i] = static_cast<std::uint8_t>(rng() >> 56);
  }
  const std::uint8_t* At(std::size_t offset) const { return base_ + offset; }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::uint8_t* base_;
};

// Pages with an inaccessible page on either side: an engine that reads one byte before
// or after its input faults instead of passing by luck.
class GuardedPages {
 public:
  explicit GuardedPages(std::size_t size) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    usable_ = (size + page_ - 1) / page_ * page_;
    void* m = mmap(nullptr, usable_ + 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) std::abort();
    mapping_ = static_cast<std::uint8_t*>(m);
    mprotect(mapping_, page_, PROT_NONE);
    mprotect(mapping_ + page_ + usable_, page_, PROT_NONE);
  }
  ~GuardedPages() { munmap(mapping_, usable_ + 2 * page_); }
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;

  std::uint8_t* begin() const { return mapping_ + page_; }
  std::uint8_t* end() const { return mapping_ + page_ + usable_; }

 private:
  std::size_t page_;
  std::size_t usable_;
  std::uint8_t* mapping_;
};

std::vector<std::uint8_t> PatternBytes(const testdata::PatternVector& v) {
  std::vector<std::uint8_t> out(v.length);
  std::uint64_t x = v.seed;
  for (std::size_t i = 0; i < v.length; ++i) {
    switch (v.pattern) {
      case testdata::Pattern::kZeros: out[i] = 0; break;
      case testdata::Pattern::kOnes: out[i] = 0xFF; break;
      case testdata::Pattern::kCounting: out[i] = static_cast<std::uint8_t>(i); break;
      case testdata::Pattern::kLcg:
        x = x * 6364136223846793005u + 1442695040888963407u;
        out[i] = static_cast<std::uint8_t>(x >> 56);
        break;
    }
  }
  return out;
}

// The CRC by its definition, one bit at a time: shares no table or constant with any engine.
std::uint32_t BitwiseCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  std::uint32_t reg = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    reg ^= p[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
  }
  return ~reg;
}

std::vector<Engine> AvailableEngines() {
  std::vector<Engine> out;
  for (Engine e : AllEngines()) {
    if (IsAvailable(e)) out.push_back(e);
  }
  return out;
}

std::string NameOf(const testing::TestParamInfo<Engine>& info) {
  std::string name = EngineName(info.param);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

TEST(Crc32, EmptyInputIsZeroAndLeavesTheAccumulatorAlone) {
  EXPECT_EQ(Value(nullptr, 0), 0u);
  EXPECT_EQ(Extend(0xCBF43926u, nullptr, 0), 0xCBF43926u);
}

TEST(Crc32, TableEngineMatchesBitwiseDefinition) {
  const Buffer buffer(400, 1);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t n = 0; n <= 300; ++n) {
      const std::uint32_t start = static_cast<std::uint32_t>(n * 0x9E3779B9u);
      ASSERT_EQ(ExtendWith(Engine::kTable, start, buffer.At(offset), n), BitwiseCrc(start, buffer.At(offset), n))
          << "n=" << n << " offset=" << offset;
    }
  }
}

TEST(Crc32, SelectedEngineIsAvailableAndBehindExtend) {
  const Engine selected = SelectedEngine();
  ASSERT_TRUE(IsAvailable(selected)) << EngineName(selected);
  const Buffer buffer(5000, 2);
  EXPECT_EQ(Value(buffer.At(1), 4999), ExtendWith(selected, 0, buffer.At(1), 4999));
#if defined(__aarch64__) && defined(__linux__)
  EXPECT_EQ(selected, ArmEngineFor(getauxval(AT_HWCAP)));
#endif
}

class EngineTest : public testing::TestWithParam<Engine> {
 protected:
  std::uint32_t Run(std::uint32_t crc, const std::uint8_t* p, std::size_t n) const {
    return ExtendWith(GetParam(), crc, p, n);
  }
};

TEST_P(EngineTest, GivesPublishedAndZlibValues) {
  for (const auto& v : testdata::kTextVectors) {
    EXPECT_EQ(Run(0, reinterpret_cast<const std::uint8_t*>(v.text), v.length), v.crc) << '"' << v.text << '"';
  }
  for (const auto& v : testdata::kPatternVectors) {
    const std::vector<std::uint8_t> bytes = PatternBytes(v);
    EXPECT_EQ(Run(0, bytes.data(), bytes.size()), v.crc)
        << "pattern " << static_cast<int>(v.pattern) << " length " << v.length;
  }
}

TEST_P(EngineTest, MatchesTableAtEveryLengthAndAlignment) {
  constexpr std::size_t kMaxLength = 1024;
  constexpr std::size_t kAlignments = 64;
  const Buffer buffer(kMaxLength + kAlignments, 3);
  std::mt19937 rng(4);
  for (std::size_t offset = 0; offset < kAlignments; ++offset) {
    for (std::size_t n = 0; n <= kMaxLength; ++n) {
      const std::uint32_t start = rng();  // a running value, not only the fresh 0
      ASSERT_EQ(Run(start, buffer.At(offset), n), ExtendWith(Engine::kTable, start, buffer.At(offset), n))
          << "n=" << n << " offset=" << offset << " start=" << start;
    }
  }
}

TEST_P(EngineTest, ReadsNothingOutsideItsInput) {
  constexpr std::size_t kMaxLength = 1024;
  const Buffer source(kMaxLength, 9);
  const GuardedPages pages(kMaxLength);
  for (std::size_t n = 0; n <= kMaxLength; ++n) {
    std::copy(source.At(0), source.At(n), pages.begin());
    const std::uint32_t at_start = Run(0, pages.begin(), n);
    std::copy(source.At(0), source.At(n), pages.end() - n);
    ASSERT_EQ(Run(0, pages.end() - n, n), at_start) << "n=" << n;
    ASSERT_EQ(at_start, ExtendWith(Engine::kTable, 0, source.At(0), n)) << "n=" << n;
  }
}

TEST(Crc32, ValueEachGivesEachInputsValueWhateverTheMixOfLengths) {
  // Inputs side by side may differ in length by any number of lanes and tail bytes; each
  // sits flush against an inaccessible page at one end or the other, so a read past
  // either end of any input faults.
  std::mt19937_64 rng(21);
  const Buffer source(1024, 23);
  std::vector<std::unique_ptr<GuardedPages>> pages;
  for (int i = 0; i < 9; ++i) pages.push_back(std::make_unique<GuardedPages>(1024));
  for (int round = 0; round < 3000; ++round) {
    const std::size_t count = rng() % 10;
    std::vector<const std::uint8_t*> data(count);
    std::vector<std::size_t> n(count);
    std::vector<std::uint32_t> want(count);
    for (std::size_t i = 0; i < count; ++i) {
      n[i] = rng() % 8 == 0 ? rng() % 600 : rng() % (kShortInput + 45);
      const std::uint8_t* from = source.At(rng() % (1024 - n[i] + 1));
      std::uint8_t* at = (rng() & 1) ? pages[i]->begin() : pages[i]->end() - n[i];
      std::copy(from, from + n[i], at);
      data[i] = at;
      want[i] = BitwiseCrc(0, at, n[i]);
    }
    std::vector<std::uint32_t> got(count, 0xDEADBEEF);
    ValueEach(data.data(), n.data(), count, got.data());
    ASSERT_EQ(got, want) << "round " << round;
  }
}

TEST(Crc32, ValueEachGivesEveryLengthUpTo300InBatchesOfAnySize) {
  // Batches larger than the blocks ValueEach sorts, and of sizes that leave part groups;
  // the lengths step through 0..300 so that each batch mixes every chunk count.
  const Buffer source(4096, 31);
  for (std::size_t count : {1, 2, 3, 5, 6, 7, 63, 64, 65, 67, 129, 301}) {
    for (std::size_t first = 0; first < 301; first += 37) {
      std::vector<const std::uint8_t*> data(count);
      std::vector<std::size_t> n(count);
      std::vector<std::uint32_t> want(count);
      for (std::size_t i = 0; i < count; ++i) {
        n[i] = (first + 97 * i) % 301;
        data[i] = source.At((13 * i) % 3000);
        want[i] = ExtendWith(Engine::kTable, 0, data[i], n[i]);
      }
      std::vector<std::uint32_t> got(count, 0xDEADBEEF);
      ValueEach(data.data(), n.data(), count, got.data());
      ASSERT_EQ(got, want) << "count=" << count << " first=" << first;
    }
  }
}

TEST_P(EngineTest, MatchesTableOnSixteenMebibytes) {
  constexpr std::size_t kLength = std::size_t{16} << 20;
  const Buffer buffer(kLength + 8, 5);
  EXPECT_EQ(Run(0, buffer.At(0), kLength), ExtendWith(Engine::kTable, 0, buffer.At(0), kLength));
  EXPECT_EQ(Run(7, buffer.At(5), kLength + 3), ExtendWith(Engine::kTable, 7, buffer.At(5), kLength + 3));
}

TEST_P(EngineTest, AnySplitGivesTheOneShotValue) {
  constexpr std::size_t kLength = 200000;
  const Buffer buffer(kLength, 6);
  const std::uint32_t whole = Run(0, buffer.At(0), kLength);
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    // Short pieces in some trials, long ones in others, empty ones in all.
    const std::size_t max_piece = std::size_t{1} << (trial % 16);
    std::uint32_t crc = 0;
    for (std::size_t pos = 0; pos < kLength;) {
      const std::size_t piece = std::min<std::size_t>(rng() % (max_piece + 1), kLength - pos);
      crc = Run(crc, buffer.At(pos), piece);
      pos += piece;
    }
    ASSERT_EQ(crc, whole) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(Available, EngineTest, testing::ValuesIn(AvailableEngines()), NameOf);

struct HwcapCase {
  std::uint64_t hwcap;
  Engine expected;
};

void PrintTo(const HwcapCase& c, std::ostream* os) { *os << "hwcap 0x" << std::hex << c.hwcap; }

class ArmEngineChoiceTest : public testing::TestWithParam<HwcapCase> {};

// The word is the one the kernel hands over; qemu and real cores set many other bits.
TEST_P(ArmEngineChoiceTest, FollowsTheCrc32BitAlone) {
  const HwcapCase c = GetParam();
  const Engine engine = ArmEngineFor(c.hwcap);
  ASSERT_EQ(engine, c.expected) << std::hex << c.hwcap;
  if (!IsAvailable(engine)) return;  // the instruction engine on a build for another CPU
  for (const auto& v : testdata::kTextVectors) {
    EXPECT_EQ(ExtendWith(engine, 0, reinterpret_cast<const std::uint8_t*>(v.text), v.length), v.crc);
  }
  const Buffer buffer(3000, 8);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t n : {0, 1, 7, 8, 9, 63, 64, 65, 2990}) {
      EXPECT_EQ(ExtendWith(engine, 1, buffer.At(offset), n), ExtendWith(Engine::kTable, 1, buffer.At(offset), n));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Words, ArmEngineChoiceTest,
                         testing::Values(HwcapCase{0, Engine::kTable}, HwcapCase{kHwcapCrc32, Engine::kArmCrc},
                                         HwcapCase{~kHwcapCrc32, Engine::kTable},
                                         HwcapCase{~std::uint64_t{0}, Engine::kArmCrc},
                                         HwcapCase{0xFF, Engine::kArmCrc},      // fp, asimd, aes, pmull, sha, crc32
                                         HwcapCase{0x7F, Engine::kTable},       // the same without crc32
                                         HwcapCase{0x100, Engine::kTable}));    // atomics, the next bit up

TEST(X86EngineChoice, NeedsEveryFeatureOfAnEngine) {
  const X86Features none;
  X86Features clmul;
  clmul.sse41 = clmul.pclmul = true;
  X86Features wide = clmul;
  wide.avx512 = wide.vpclmul = wide.os_zmm_state = true;
  EXPECT_EQ(X86EngineFor(none), Engine::kTable);
  EXPECT_EQ(X86EngineFor(clmul), Engine::kX86Clmul);
  EXPECT_EQ(X86EngineFor(wide), Engine::kX86Vpclmul);
  for (bool X86Features::*feature : {&X86Features::avx512, &X86Features::vpclmul, &X86Features::os_zmm_state}) {
    X86Features f = wide;
    f.*feature = false;
    EXPECT_EQ(X86EngineFor(f), Engine::kX86Clmul);
  }
  for (bool X86Features::*feature : {&X86Features::sse41, &X86Features::pclmul}) {
    X86Features f = wide;
    f.*feature = false;
    EXPECT_EQ(X86EngineFor(f), Engine::kTable);
  }
}

// x^k mod P over GF(2), unreflected, P = x^32 + 0x04C11DB7.
std::uint64_t XPowModP(unsigned k) {
  std::uint64_t r = 1;
  for (unsigned i = 0; i < k; ++i) {
    r <<= 1;
    if (r >> 32) r ^= 0x104C11DB7u;
  }
  return r;
}

std::uint64_t Reflect(std::uint64_t v, int width) {
  std::uint64_t out = 0;
  for (int i = 0; i < width; ++i) out |= ((v >> i) & 1) << (width - 1 - i);
  return out;
}

std::uint64_t FoldConstant(unsigned k) { return Reflect(XPowModP(k), 32) << 1; }

TEST(FoldConstants, AreReflectedPowersOfXModP) {
  const struct {
    fold::Pair pair;
    unsigned distance;
  } folds[] = {{fold::kFold128, 128},   {fold::kFold256, 256},   {fold::kFold384, 384}, {fold::kFold512, 512},
               {fold::kFold1024, 1024}, {fold::kFold1536, 1536}, {fold::kFold2048, 2048}};
  for (const auto& f : folds) {
    EXPECT_EQ(f.pair.lo, FoldConstant(f.distance + 32)) << f.distance;
    EXPECT_EQ(f.pair.hi, FoldConstant(f.distance - 32)) << f.distance;
  }
  EXPECT_EQ(fold::kFoldByLanes[0].lo, 0u);
  EXPECT_EQ(fold::kFoldByLanes[0].hi, 0u);
  for (unsigned m = 1; m < std::size(fold::kFoldByLanes); ++m) {
    EXPECT_EQ(fold::kFoldByLanes[m].lo, FoldConstant(128 * m + 32)) << m;
    EXPECT_EQ(fold::kFoldByLanes[m].hi, FoldConstant(128 * m - 32)) << m;
  }
  EXPECT_EQ(fold::kX96, FoldConstant(96));
  EXPECT_EQ(fold::kX64, FoldConstant(64));
  EXPECT_EQ(fold::kPoly, Reflect(0x104C11DB7u, 33));
}

TEST(FoldConstants, MuIsTheQuotientOfX64ByP) {
  // floor(x^64 / P) by long division; mu * P + remainder must give x^64 back.
  std::uint64_t quotient = 0;
  unsigned __int128 rest = static_cast<unsigned __int128>(1) << 64;
  for (int shift = 32; shift >= 0; --shift) {
    if ((rest >> (32 + shift)) & 1) {
      rest ^= static_cast<unsigned __int128>(0x104C11DB7u) << shift;
      quotient |= std::uint64_t{1} << shift;
    }
  }
  ASSERT_LT(rest, static_cast<unsigned __int128>(1) << 32);
  EXPECT_EQ(fold::kMu, Reflect(quotient, 33));
}

}  // namespace
}  // namespace kalvex::crc32

namespace kalvex::crc32 {
namespace {

TEST(Crc32, CombineOfTwoPartsIsTheCrcOfTheirConcatenation) {
  std::vector<std::uint8_t> bytes(70000);
  std::uint32_t x = 12345;
  for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{4096},
                            std::size_t{65537}, bytes.size()}) {
    const std::uint32_t a = Value(bytes.data(), split);
    const std::uint32_t b = Value(bytes.data() + split, bytes.size() - split);
    EXPECT_EQ(Combine(a, b, bytes.size() - split), Value(bytes.data(), bytes.size())) << split;
  }
}

}  // namespace
}  // namespace kalvex::crc32
