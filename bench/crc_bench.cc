// CRC-32 throughput of every engine this CPU can run, beside zlib's crc32 and two
// memory-speed baselines (a read pass summing 64-bit words, and memcpy), on the same
// buffers of 4 KiB, 1 MiB and 256 MiB. Prints GB/s (10^9 bytes of input per second),
// the best of several samples, and the ratios the engines are tuned against. Time is the
// thread's CPU time, so other processes on a shared machine skew the figures less. Then
// short payloads: ValueEach in batches beside one CRC per payload.
//
//   crc_bench [--quick]      (--quick: fewer and shorter samples)
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "core/format/crc32.h"
#include "core/format/crc32_engines.h"

namespace {

using kalvex::crc32::Engine;

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Keeps every result alive, so no pass can be optimised away.
volatile std::uint64_t g_sink;

struct AlignedBuffer {
  explicit AlignedBuffer(std::size_t n)
      : storage(static_cast<std::uint8_t*>(std::aligned_alloc(4096, n)), &std::free), size(n) {}
  std::uint8_t* data() const { return storage.get(); }
  std::unique_ptr<std::uint8_t, decltype(&std::free)> storage;
  std::size_t size;
};

// Four independent 64-byte vector sums per 256-byte step, cloned per target (picked at
// load time) so the widest registers the CPU has do the adds: the pass is bound by
// memory, which makes it the ceiling for any pass that reads its input once.
using Words = std::uint64_t __attribute__((vector_size(64)));

__attribute__((noinline, target_clones("avx512f", "avx2", "default")))
std::uint64_t ReadPass(const std::uint8_t* p, std::size_t n) {
  Words s0 = {}, s1 = {}, s2 = {}, s3 = {};
  for (std::size_t i = 0; i + 256 <= n; i += 256) {
    Words w0, w1, w2, w3;
    std::memcpy(&w0, p + i, 64);
    std::memcpy(&w1, p + i + 64, 64);
    std::memcpy(&w2, p + i + 128, 64);
    std::memcpy(&w3, p + i + 192, 64);
    s0 += w0;
    s1 += w1;
    s2 += w2;
    s3 += w3;
  }
  const Words s = s0 ^ s1 ^ s2 ^ s3;
  std::uint64_t total = 0;
  for (int k = 0; k < 8; ++k) total ^= s[k];
  return total;
}

struct Method {
  std::string name;
  std::function<std::uint64_t(const std::uint8_t*, std::size_t)> run;
};

// Best GB/s over `samples` samples of about `bytes_per_sample` bytes each.
double Measure(const Method& m, const std::uint8_t* data, std::size_t size, int samples,
               std::size_t bytes_per_sample) {
  const std::size_t passes = std::max<std::size_t>(1, bytes_per_sample / size);
  double best = 0;
  for (int s = 0; s < samples; ++s) {
    const double start = ThreadSeconds();
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < passes; ++i) acc += m.run(data, size);
    const double took = ThreadSeconds() - start;
    g_sink = g_sink + acc;
    best = std::max(best, static_cast<double>(passes * size) / took / 1e9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int samples = quick ? 3 : 7;
  const std::size_t bytes_per_sample = quick ? (std::size_t{64} << 20) : (std::size_t{256} << 20);
  const std::vector<std::size_t> sizes = {std::size_t{4} << 10, std::size_t{1} << 20, std::size_t{256} << 20};

  AlignedBuffer src(sizes.back());
  AlignedBuffer dst(sizes.back());
  std::mt19937_64 rng(1);
  for (std::size_t i = 0; i < src.size; i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(src.data() + i, &v, 8);
  }
  std::memset(dst.data(), 0, dst.size);  // fault the pages in before timing

  std::vector<Method> methods;
  std::vector<Engine> engines;
  for (Engine e : kalvex::crc32::AllEngines()) {
    if (!kalvex::crc32::IsAvailable(e)) continue;
    engines.push_back(e);
    methods.push_back({kalvex::crc32::EngineName(e), [e](const std::uint8_t* p, std::size_t n) {
                         return std::uint64_t{kalvex::crc32::ExtendWith(e, 0, p, n)};
                       }});
  }
  methods.push_back({"zlib crc32", [](const std::uint8_t* p, std::size_t n) {
                       return std::uint64_t{crc32_z(0, p, n)};
                     }});
  methods.push_back({"read pass", [](const std::uint8_t* p, std::size_t n) { return ReadPass(p, n); }});
  std::uint8_t* out = dst.data();
  methods.push_back({"memcpy", [out](const std::uint8_t* p, std::size_t n) {
                       std::memcpy(out, p, n);
                       return std::uint64_t{out[n - 1]};
                     }});

  // A benchmark of wrong answers measures nothing.
  const std::uint32_t want = static_cast<std::uint32_t>(crc32_z(0, src.data(), src.size));
  for (Engine e : engines) {
    if (kalvex::crc32::ExtendWith(e, 0, src.data(), src.size) != want) {
      std::fprintf(stderr, "engine %s disagrees with zlib\n", kalvex::crc32::EngineName(e));
      return 1;
    }
  }

  const Engine selected = kalvex::crc32::SelectedEngine();
  std::printf("selected engine: %s\n", kalvex::crc32::EngineName(selected));
  std::printf("%-14s %12s %12s %12s   (GB/s)\n", "", "4 KiB", "1 MiB", "256 MiB");
  std::vector<std::vector<double>> gbps(methods.size());
  for (std::size_t m = 0; m < methods.size(); ++m) {
    std::printf("%-14s", methods[m].name.c_str());
    for (std::size_t size : sizes) {
      gbps[m].push_back(Measure(methods[m], src.data(), size, samples, bytes_per_sample));
      std::printf(" %12.2f", gbps[m].back());
      std::fflush(stdout);
    }
    std::printf("\n");
  }

  // Short payloads as a store holds them (40 to 200 bytes, back to back behind 8-byte
  // heads): ValueEach in batches, as the writer and Verify call it, beside one Extend per
  // payload. Best ns per payload over the samples.
  {
    constexpr std::size_t kPayloads = 1 << 14;
    constexpr std::size_t kBatch = 256;
    std::vector<const std::uint8_t*> data(kPayloads);
    std::vector<std::size_t> lengths(kPayloads);
    std::vector<std::uint32_t> values(kPayloads);
    std::size_t at = 0;
    for (std::size_t i = 0; i < kPayloads; ++i) {
      lengths[i] = 40 + rng() % 161;
      data[i] = src.data() + at + 8;
      at += 8 + lengths[i];
    }
    const auto best_ns = [&](const std::function<void()>& pass) {
      double best = 1e30;
      for (int s = 0; s < samples * 4; ++s) {
        const double start = ThreadSeconds();
        pass();
        best = std::min(best, (ThreadSeconds() - start) * 1e9 / kPayloads);
      }
      return best;
    };
    const double each = best_ns([&] {
      for (std::size_t b = 0; b < kPayloads; b += kBatch) {
        kalvex::crc32::ValueEach(data.data() + b, lengths.data() + b, kBatch, values.data() + b);
      }
    });
    for (std::size_t i = 0; i < kPayloads; ++i) {
      if (values[i] != crc32_z(0, data[i], lengths[i])) {
        std::fprintf(stderr, "ValueEach disagrees with zlib\n");
        return 1;
      }
    }
    const double one_by_one = best_ns([&] {
      for (std::size_t i = 0; i < kPayloads; ++i) values[i] = kalvex::crc32::Value(data[i], lengths[i]);
    });
    std::printf("\n%-14s %9.1f ns   %-14s %9.1f ns   (per payload of 40-200 bytes)\n", "ValueEach",
                each, "one by one", one_by_one);
  }

  auto row = [&](const std::string& name) -> const std::vector<double>& {
    for (std::size_t m = 0; m < methods.size(); ++m) {
      if (methods[m].name == name) return gbps[m];
    }
    std::abort();
  };
  const auto& sel = row(kalvex::crc32::EngineName(selected));
  const auto& table = row("table");
  const auto& zlib = row("zlib crc32");
  const auto& read = row("read pass");
  std::printf("\n%-44s %6.2fx  (target 8x)\n", "selected / zlib, 1 MiB:", sel[1] / zlib[1]);
  std::printf("%-44s %6.2fx  (target 0.9x)\n", "selected / read pass, 256 MiB:", sel[2] / read[2]);
  std::printf("%-44s %6.2fx  (target 1.5x)\n", "table / zlib, 1 MiB:", table[1] / zlib[1]);
  return 0;
}
