// The CRC-32 engines behind crc32::Extend, named so that tests and benchmarks can run
// each one directly and check how the process picks one.
//
// Every engine computes the same running CRC-32 as crc32::Extend. The table engine runs
// everywhere; the others need CPU features and are compiled per function for them, so
// the library itself still runs on any x86-64 or aarch64 CPU. The choice is made on the
// first Extend call and cached for the life of the process.
// Thread-safe: the functions below read only the cached choice and the CPU's answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kalvex::crc32 {

enum class Engine {
  kTable,     // slicing-by-16 over 16 tables of the reflected polynomial
  kArmCrc,    // aarch64 CRC32B / CRC32X instructions
  kX86Clmul,  // x86-64 PCLMULQDQ folding, four 128-bit lanes
  kX86Vpclmul,  // x86-64 VPCLMULQDQ folding, four 512-bit registers (AVX-512)
};

// Every engine, in the order above.
std::span<const Engine> AllEngines();
const char* EngineName(Engine engine);
// True when this build has the engine and this CPU (and OS) can run it.
bool IsAvailable(Engine engine);
// The engine crc32::Extend uses in this process.
Engine SelectedEngine();
// Extends with one engine. REQUIRES: IsAvailable(engine).
std::uint32_t ExtendWith(Engine engine, std::uint32_t crc, const std::uint8_t* data, std::size_t n);

// The aarch64 choice from the word getauxval(AT_HWCAP) returns: the instruction engine
// when the CRC32 bit is set, else the table engine.
inline constexpr std::uint64_t kHwcapCrc32 = std::uint64_t{1} << 7;
Engine ArmEngineFor(std::uint64_t hwcap);

// The x86-64 choice from what CPUID and XGETBV report.
struct X86Features {
  bool sse41 = false;
  bool pclmul = false;
  bool avx512 = false;      // AVX-512 F, BW and VL
  bool vpclmul = false;
  bool os_zmm_state = false;  // XCR0 enables the SSE, AVX, opmask and ZMM state
};
Engine X86EngineFor(const X86Features& features);

}  // namespace kalvex::crc32
