// The mapped index against the parsed index section, at a few store sizes: build time,
// bytes per key, open time and private memory, cold and hot lookups, batch lookups
// against a loop, a full listing and prefix scans. One run, printed as a table, with the
// mapped reader's ratios to the parsed one taken round by round (median and range), the
// rounds interleaving the readers so that a load on the machine meets them alike. Run by
// hand:
//
//   [ROUNDS=6] mapped_index_bench [DIR] [N ...]      (default: /dev/shm, 1000000 10000000)
//
// DIR's file system matters: tmpfs here keeps its pages in 4 KiB (shmem huge pages off),
// while ext4 keeps the 2 MiB folios the writer's aligned writes make, and the lookups'
// page walks differ accordingly (the table says how much of the files it mapped whole).
//
// Keys are 16 bytes (hexadecimal of a scrambled counter, so key order is not insertion
// order), values 40 bytes. "Private" is the growth of the process's anonymous resident
// memory across the open (RssAnon), the memory a reader holds that no other process shares.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/reader/reader.h"
#include "core/writer/writer.h"

namespace {

using kalvex::reader::Bytes;
using kalvex::reader::Reader;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::uint64_t Scramble(std::uint64_t x) {
  x ^= x >> 31;
  x *= 0x9E3779B97F4A7C15ull;
  return x ^ (x >> 29);
}

std::string Key(std::uint64_t i) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, Scramble(i));
  return text;
}

// A field of a /proc file that lists "Name:   value kB" lines, or -1.
long ProcKb(const char* file, const std::string& name) {
  std::ifstream status(file);
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name, 0) == 0) return std::stol(line.substr(name.size()));
  }
  return -1;
}
long RssAnonKb() { return ProcKb("/proc/self/status", "RssAnon:"); }

std::unique_ptr<Reader> Open(const std::string& path, bool map_index) {
  auto r = Reader::Open(path, false, map_index);
  if (!r.ok()) {
    std::fprintf(stderr, "open failed: %s\n", r.error().Render().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

// Nanoseconds per lookup of keys[order[i]] with its payload's first byte read.
double LookupLoop(const Reader& r, const std::vector<std::string>& keys, const std::vector<std::uint32_t>& order,
                  std::size_t rounds, std::uint64_t& sink) {
  const auto start = Clock::now();
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::uint32_t i : order) {
      const std::string& key = keys[i];
      auto offset = r.Lookup({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
      if (offset.ok() && offset.value()) sink += r.FetchObject(*offset.value()).value()[0];
    }
  }
  return Seconds(start) * 1e9 / static_cast<double>(order.size() * rounds);
}

double LookupMany(const Reader& r, const std::vector<std::string>& keys, const std::vector<std::uint32_t>& order,
                  std::size_t rounds, std::uint64_t& sink) {
  // The keys as a caller hands them over: one buffer and the end of each key.
  std::string buffer;
  std::vector<std::size_t> ends;
  for (std::uint32_t i : order) {
    buffer += keys[i];
    ends.push_back(buffer.size());
  }
  constexpr std::size_t kChunk = 1024;
  std::vector<Bytes> out(kChunk);
  const auto start = Clock::now();
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::size_t first = 0; first < ends.size(); first += kChunk) {
      const std::size_t last = std::min(ends.size(), first + kChunk);
      if (!r.FetchMany(reinterpret_cast<const std::uint8_t*>(buffer.data()), ends.data(), first, last, out.data())
               .ok()) {
        std::exit(1);
      }
      for (std::size_t j = 0; j < last - first; ++j) sink += out[j][0];
    }
  }
  return Seconds(start) * 1e9 / static_cast<double>(order.size() * rounds);
}

double Listing(const Reader& r, std::uint64_t& sink) {
  constexpr std::size_t kChunk = 4096;
  const auto start = Clock::now();
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  std::vector<Bytes> payloads;
  for (std::size_t first = 0; first < r.entry_count(); first += kChunk) {
    const std::size_t last = std::min(r.entry_count(), first + kChunk);
    keys.clear();
    offsets.clear();
    if (!r.ReadEntries(first, last, keys, offsets).ok()) std::exit(1);
    // As the C interface's range read: keys and offsets in one walk, then the records.
    payloads.clear();
    if (!r.FetchOffsets(offsets, payloads).ok()) std::exit(1);
    for (std::size_t j = 0; j < keys.size(); ++j) sink += keys[j][0] + payloads[j][0];
  }
  return Seconds(start);
}

// Seconds for prefix scans of 3 hexadecimal digits (about n / 4096 keys each): the range,
// then its keys and values as the C interface's prefix read takes them.
double PrefixScans(const Reader& r, std::uint64_t& sink) {
  constexpr int kScans = 256;
  const auto start = Clock::now();
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  std::vector<Bytes> payloads;
  for (int i = 0; i < kScans; ++i) {
    char prefix[4];
    std::snprintf(prefix, sizeof prefix, "%03x", static_cast<unsigned>(Scramble(i) % 4096));
    const auto [first, last] = r.PrefixRange({reinterpret_cast<const std::uint8_t*>(prefix), 3});
    keys.clear();
    offsets.clear();
    payloads.clear();
    if (!r.ReadEntries(first, last, keys, offsets).ok() || !r.FetchOffsets(offsets, payloads).ok()) std::exit(1);
    for (std::size_t j = 0; j < keys.size(); ++j) sink += keys[j][0] + payloads[j][0];
  }
  return Seconds(start);
}

// The median of per-round ratios, with their range: rounds run under the same load.
std::string RatioText(std::vector<double> ratios) {
  std::sort(ratios.begin(), ratios.end());
  char text[64];
  std::snprintf(text, sizeof text, "%.2fx [%.2f..%.2f]", ratios[ratios.size() / 2], ratios.front(), ratios.back());
  return text;
}

void Run(const std::string& dir, std::size_t n) {
  std::printf("\n== %zu keys (16-byte keys, 40-byte values) ==\n", n);
  std::vector<std::string> keys(n);
  kalvex::writer::Writer w;
  {
    std::string value(40, 'v');
    for (std::size_t i = 0; i < n; ++i) {
      keys[i] = Key(i);
      std::memcpy(value.data(), keys[i].data(), 16);
      const std::uint64_t id = w.AddObject({reinterpret_cast<const std::uint8_t*>(value.data()), value.size()});
      if (!w.AddKey({reinterpret_cast<const std::uint8_t*>(keys[i].data()), 16}, id).ok()) std::exit(1);
    }
  }
  const std::string paths[2] = {dir + "/bench-plain.klvx", dir + "/bench-index.klvx"};
  std::uint64_t sizes[2] = {0, 0};
  // Builds with and without the index take turns, so that both meet the same load.
  double plan_best[2] = {1e9, 1e9}, build_best[2] = {1e9, 1e9};
  std::vector<double> ratio_build;
  for (int attempt = 0; attempt < 3; ++attempt) {
    double build_s[2];
    for (int with = 0; with < 2; ++with) {
      kalvex::writer::BuildOptions options;
      options.mapped_index = with == 1;
      auto start = Clock::now();
      auto plan = w.Plan(options);
      plan_best[with] = std::min(plan_best[with], Seconds(start));
      start = Clock::now();
      auto built = w.Build(paths[with], options);
      build_s[with] = Seconds(start);
      build_best[with] = std::min(build_best[with], build_s[with]);
      if (!built.ok()) std::exit(1);
      sizes[with] = built.value().file_size;
    }
    ratio_build.push_back(build_s[1] / build_s[0]);
  }
  for (int with = 0; with < 2; ++with) {
    std::printf("build %-10s plan %7.3f s  plan+commit %7.3f s  file %" PRIu64 " bytes\n",
                with ? "with index" : "plain", plan_best[with], build_best[with], sizes[with]);
  }
  std::printf("build with / without the index, per round: %s\n", RatioText(ratio_build).c_str());
  std::printf("index adds %.2f bytes per key\n", static_cast<double>(sizes[1] - sizes[0]) / static_cast<double>(n));

  std::mt19937_64 rng(42);
  std::vector<std::uint32_t> cold(std::min<std::size_t>(n, 1000000));
  for (auto& i : cold) i = static_cast<std::uint32_t>(rng() % n);
  std::vector<std::uint32_t> hot(std::getenv("HOT") ? std::stoul(std::getenv("HOT")) : 10000);
  for (auto& i : hot) i = static_cast<std::uint32_t>(rng() % n);
  std::uint64_t sink = 0;

  struct Mode {
    const char* name;
    const std::string& path;
    bool map;
  };
  const Mode modes[] = {{"parsed (plain file)", paths[0], false},
                        {"parsed (indexed file)", paths[1], false},
                        {"mapped (indexed file)", paths[1], true}};
  // Open and memory first, each mode on its own; then the lookups, the modes taking turns
  // round after round so that a load on the machine shifts them all alike, keeping each
  // one's best. The first round also pays the page faults that map the file's pages into
  // the process, which a parsed reader pays for its index at open.
  std::unique_ptr<Reader> readers[3];
  struct Figures {
    double open_ms, private_mb, cold = 1e9, hot = 1e9, many_cold = 1e9, many_hot = 1e9, listing = 1e9,
           prefix = 1e9;
  } figures[3];
  for (int m = 0; m < 3; ++m) {
    double open_best = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const auto start = Clock::now();
      auto r = Open(modes[m].path, modes[m].map);
      open_best = std::min(open_best, Seconds(start));
    }
    const long before = RssAnonKb();
    readers[m] = Open(modes[m].path, modes[m].map);
    figures[m].open_ms = open_best * 1e3;
    figures[m].private_mb = static_cast<double>(RssAnonKb() - before) / 1024.0;
  }
  // Mapped against the parsed reader of the plain file, round by round.
  std::vector<double> ratio_cold, ratio_hot, ratio_listing, ratio_prefix;
  const int rounds = std::getenv("ROUNDS") ? std::stoi(std::getenv("ROUNDS")) : 6;
  for (int round = 0; round < rounds; ++round) {
    double cold_ns[3], hot_ns[3], listing_s[3], prefix_s[3];
    for (int m = 0; m < 3; ++m) {
      const Reader& r = *readers[m];
      Figures& f = figures[m];
      cold_ns[m] = LookupLoop(r, keys, cold, 1, sink);
      f.cold = std::min(f.cold, cold_ns[m]);
      f.many_cold = std::min(f.many_cold, LookupMany(r, keys, cold, 1, sink));
      hot_ns[m] = LookupLoop(r, keys, hot, 100, sink);
      f.hot = std::min(f.hot, hot_ns[m]);
      f.many_hot = std::min(f.many_hot, LookupMany(r, keys, hot, 100, sink));
      listing_s[m] = Listing(r, sink);
      f.listing = std::min(f.listing, listing_s[m]);
      prefix_s[m] = PrefixScans(r, sink);
      f.prefix = std::min(f.prefix, prefix_s[m]);
    }
    ratio_cold.push_back(cold_ns[2] / cold_ns[0]);
    ratio_hot.push_back(hot_ns[2] / hot_ns[0]);
    ratio_listing.push_back(listing_s[2] / listing_s[0]);
    ratio_prefix.push_back(prefix_s[2] / prefix_s[0]);
  }
  // File pages the process maps through 2 MiB entries: one TLB entry instead of 512. The
  // file system decides (the page cache's folio sizes), not the reader.
  std::printf("file pages mapped as 2 MiB pages: %ld MB\n", ProcKb("/proc/self/smaps_rollup", "FilePmdMapped:") / 1024);
  for (int m = 0; m < 3; ++m) {
    const Figures& f = figures[m];
    std::printf(
        "%-22s open %9.3f ms  private %7.1f MB | find cold %5.0f ns  hot %4.0f ns | find_many cold %5.0f ns "
        "(%.2fx)  hot %4.0f ns (%.2fx) | listing %.3f s | prefix scans %.4f s\n",
        modes[m].name, f.open_ms, f.private_mb, f.cold, f.hot, f.many_cold, f.many_cold / f.cold, f.many_hot,
        f.many_hot / f.hot, f.listing, f.prefix);
  }
  std::printf("mapped / parsed (plain file), median of %d rounds [range]: cold %s  hot %s  listing %s  prefix %s\n",
              rounds, RatioText(ratio_cold).c_str(), RatioText(ratio_hot).c_str(), RatioText(ratio_listing).c_str(),
              RatioText(ratio_prefix).c_str());
  if (sink == 42) std::printf(" ");
  for (const std::string& path : paths) ::unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/dev/shm";
  std::vector<std::size_t> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::stoul(argv[i]));
  if (sizes.empty()) sizes = {1000000, 10000000};
  for (std::size_t n : sizes) Run(dir, n);
  return 0;
}
