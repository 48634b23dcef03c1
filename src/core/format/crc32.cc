// Engine choice and dispatch for crc32::Extend.
//
// The choice is made once, on the first call, from what the CPU reports, and a chosen
// instruction engine must first reproduce values of the table engine: a core (or an
// emulator) can announce an extension and still get it wrong, and one check per process
// is cheap next to writing or rejecting files with a wrong CRC.
#include "core/format/crc32.h"

#include <algorithm>
#include <array>

#include "core/format/crc32_engines.h"
#include "core/format/crc32_kernels.h"

namespace kalvex::crc32 {
namespace {

using ExtendFn = std::uint32_t (*)(std::uint32_t, const std::uint8_t*, std::size_t);

constexpr std::array<Engine, 4> kAllEngines = {Engine::kTable, Engine::kArmCrc, Engine::kX86Clmul,
                                               Engine::kX86Vpclmul};

// The engine's function, or nullptr when this build does not have it.
ExtendFn FunctionOf(Engine engine) {
  switch (engine) {
    case Engine::kTable:
      return internal::ExtendTable;
#if KALVEX_CRC32_ARM
    case Engine::kArmCrc:
      return internal::ExtendArmCrc;
#endif
#if KALVEX_CRC32_X86
    case Engine::kX86Clmul:
      return internal::ExtendX86Clmul;
    case Engine::kX86Vpclmul:
      return internal::ExtendX86Vpclmul;
#endif
    default:
      return nullptr;
  }
}

// What the CPU offers, by the same rule that picks the process's engine.
Engine BestForThisCpu() {
#if KALVEX_CRC32_ARM
  return ArmEngineFor(internal::ReadHwcap());
#elif KALVEX_CRC32_X86
  return X86EngineFor(internal::ReadX86Features());
#else
  return Engine::kTable;
#endif
}

// Bytes for the checks below, the same in every process.
std::array<std::uint8_t, 1200> CheckBytes() {
  std::array<std::uint8_t, 1200> buffer{};
  std::uint32_t x = 0x9E3779B9u;
  for (auto& b : buffer) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return buffer;
}

// Covers every path of every engine: unaligned bytes before the first word or lane,
// each main loop, the steps after it and a tail shorter than a lane.
bool AgreesWithTable(ExtendFn fn) {
  const std::array<std::uint8_t, 1200> buffer = CheckBytes();
  static constexpr std::uint8_t kCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  if (fn(0, kCheck, sizeof kCheck) != 0xCBF43926u) return false;
  for (std::size_t n : {std::size_t{1}, std::size_t{15}, std::size_t{100}, std::size_t{333}, std::size_t{1197}}) {
    if (fn(0x12345678u, buffer.data() + 3, n) != internal::ExtendTable(0x12345678u, buffer.data() + 3, n)) {
      return false;
    }
  }
  return true;
}

#if KALVEX_CRC32_X86
// The wide engine's kernel for short inputs uses instructions its Extend does not (masked
// byte loads, 128-bit lane shuffles), so it is checked on its own, for every chunk count:
// the shortest input of the count, a middle and a whole one, and the middle one again as
// the repeat that fills a part four.
bool ShortKernelAgreesWithTable() {
  const std::array<std::uint8_t, 1200> buffer = CheckBytes();
  for (std::size_t chunks = 1; chunks <= kShortInput / 64; ++chunks) {
    const std::size_t n[4] = {64 * (chunks - 1) + 1, 64 * chunks - 23, 64 * chunks, 64 * chunks - 23};
    const std::uint8_t* data[4];
    for (std::size_t i = 0; i < 4; ++i) data[i] = buffer.data() + 5 + 271 * i;
    const std::uint16_t index[4] = {0, 1, 2, 1};
    std::uint32_t out[4] = {};
    internal::ValueFourEachX86Vpclmul(data, n, index, 4, chunks, out);
    for (std::size_t i = 0; i < 3; ++i) {
      if (out[i] != internal::ExtendTable(0, data[i], n[i])) return false;
    }
  }
  return true;
}
#endif

struct Choice {
  Engine engine;
  ExtendFn fn;
};

Choice Choose() {
  Engine engine = BestForThisCpu();
#if KALVEX_CRC32_X86
  if (engine == Engine::kX86Vpclmul && !ShortKernelAgreesWithTable()) engine = Engine::kX86Clmul;
#endif
  const ExtendFn fn = FunctionOf(engine);
  if (fn == nullptr || (engine != Engine::kTable && !AgreesWithTable(fn))) {
    return {Engine::kTable, internal::ExtendTable};
  }
  return {engine, fn};
}

const Choice& Chosen() {
  static const Choice choice = Choose();  // thread-safe initialisation, then read-only
  return choice;
}

}  // namespace

std::uint32_t Extend(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
  return Chosen().fn(crc, data, n);
}

void ValueEach(const std::uint8_t* const* data, const std::size_t* n, std::size_t count,
               std::uint32_t* out) {
#if KALVEX_CRC32_X86
  if (Chosen().engine == Engine::kX86Vpclmul) {
    // Short inputs go four at a time, and the kernel wants four of one chunk count (64
    // bytes each), so each block's short inputs are first sorted by chunk count; a last
    // part four of a count repeats one of its inputs.
    constexpr std::size_t kBlock = 256;
    constexpr std::size_t kKinds = kShortInput / 64;
    for (std::size_t base = 0; base < count; base += kBlock) {
      const std::size_t block = std::min(kBlock, count - base);
      std::uint16_t of_kind[kKinds][kBlock + 3];
      std::size_t kind_count[kKinds] = {};
      for (std::size_t i = base; i < base + block; ++i) {
        if (n[i] == 0 || n[i] > kShortInput) {
          out[i] = Extend(0, data[i], n[i]);
        } else {
          const std::size_t kind = (n[i] - 1) / 64;
          of_kind[kind][kind_count[kind]++] = static_cast<std::uint16_t>(i - base);
        }
      }
      for (std::size_t kind = 0; kind < kKinds; ++kind) {
        std::size_t filled = kind_count[kind];
        if (filled == 0) continue;
        for (; filled % 4 != 0; ++filled) of_kind[kind][filled] = of_kind[kind][0];
        internal::ValueFourEachX86Vpclmul(data + base, n + base, of_kind[kind], filled, kind + 1, out + base);
      }
    }
    return;
  }
#endif
  for (std::size_t i = 0; i < count; ++i) out[i] = Extend(0, data[i], n[i]);
}

std::span<const Engine> AllEngines() { return kAllEngines; }

const char* EngineName(Engine engine) {
  switch (engine) {
    case Engine::kTable:
      return "table";
    case Engine::kArmCrc:
      return "arm-crc";
    case Engine::kX86Clmul:
      return "x86-pclmul";
    case Engine::kX86Vpclmul:
      return "x86-vpclmul";
  }
  return "unknown";
}

bool IsAvailable(Engine engine) {
  if (FunctionOf(engine) == nullptr) return false;
  switch (engine) {
    case Engine::kTable:
      return true;
    case Engine::kArmCrc:
      return BestForThisCpu() == Engine::kArmCrc;
    case Engine::kX86Clmul:
      // Any CPU that can run the wide engine can run this one.
      return BestForThisCpu() != Engine::kTable;
    case Engine::kX86Vpclmul:
      return BestForThisCpu() == Engine::kX86Vpclmul;
  }
  return false;
}

Engine SelectedEngine() { return Chosen().engine; }

std::uint32_t ExtendWith(Engine engine, std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
  return FunctionOf(engine)(crc, data, n);
}

Engine ArmEngineFor(std::uint64_t hwcap) { return (hwcap & kHwcapCrc32) ? Engine::kArmCrc : Engine::kTable; }

Engine X86EngineFor(const X86Features& f) {
  if (!f.sse41 || !f.pclmul) return Engine::kTable;
  if (f.avx512 && f.vpclmul && f.os_zmm_state) return Engine::kX86Vpclmul;
  return Engine::kX86Clmul;
}

}  // namespace kalvex::crc32
