// Shared pieces of the fuzz targets: a failing-check macro, a memory-backed file, and the
// few format facts the models need, written out independently of the core so that a
// model and the code under test cannot share a mistake.
#pragma once

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace kalvex::fuzz {

// A broken invariant: say which, then abort so libFuzzer keeps the input.
#define FUZZ_REQUIRE(cond, ...)                                                       \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n  ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                              \
      std::fprintf(stderr, "\n");                                                     \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

using Bytes = std::span<const std::uint8_t>;

inline std::string AsString(Bytes b) { return std::string(b.begin(), b.end()); }

// Big-endian field of `width` bytes at p, read byte by byte.
inline std::uint64_t LoadBe(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// zlib's CRC-32 is the same function as the store's; the models use it as the reference.
inline std::uint32_t ReferenceCrc(const std::uint8_t* data, std::size_t n) {
  std::uint32_t crc = 0;
  while (n > 0) {  // zlib takes a 32-bit length
    const auto take = static_cast<uInt>(n > (1u << 30) ? (1u << 30) : n);
    crc = static_cast<std::uint32_t>(::crc32(crc, data, take));
    data += take;
    n -= take;
  }
  return crc;
}

// What picks the inputs that take a target's costly modes: a hash of the whole input,
// the CRC-32, a mode taking one residue of it (one input in 256: Draw(input) % 256 == 0).
// A mutation changes the hash as a whole, so each mode keeps its share however the
// corpus grows; a selector byte would not, as the inputs that reach a costly mode's
// coverage fill the corpus and pass the byte on to their mutants (a selector once sent
// half of all executions down such a path). fuzz/make_seeds.py draws the same way.
inline std::uint32_t Draw(Bytes input) { return ReferenceCrc(input.data(), input.size()); }

// A file in memory, reachable by path, so the reader's open and mmap run unchanged on
// fuzz input without touching a disk. Rewritten in place for each input.
class MemFile {
 public:
  MemFile() {
    fd_ = ::memfd_create("kalvex-fuzz", MFD_CLOEXEC);
    FUZZ_REQUIRE(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { ::close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void Write(const std::uint8_t* data, std::size_t n) {
    FUZZ_REQUIRE(::ftruncate(fd_, 0) == 0, "ftruncate failed");
    std::size_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd_, data + done, n - done, static_cast<off_t>(done));
      FUZZ_REQUIRE(w > 0, "pwrite failed");
      done += static_cast<std::size_t>(w);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace kalvex::fuzz
