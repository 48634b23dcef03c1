// Fuzz target: a store with a mapped index, then damaged.
//
// The input names a few keys, which the writer builds into a store with the mapped index,
// then byte edits applied from the index object's record to the end of the file (the
// structure and the index section it points into), optionally followed by re-sealing
// the record's payload CRC and the file CRC so that the damage gets past both. The file
// is opened through the mapped index and read every way. Besides "no crash, no read
// outside the file, no sanitizer report", it checks: an undamaged file answers like the
// model; an error is always KalvCorruptError; and once the deep check passes, the mapped
// reader answers exactly as a reader that parses the index section.
//
// Input: n (byte) | flags (byte: 1 re-seal, 2 verify at open) | n keys as length byte
//        (mod 20) + bytes | edits as (position hi, position lo, xor byte) triples.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/layout.h"
#include "core/format/mapped_index_layout.h"
#include "core/reader/reader.h"
#include "core/writer/writer.h"
#include "fuzz_support.h"

namespace kalvex::fuzz {
namespace {

void RemoveWorkDir();

// One directory for the whole run, on a memory file system when there is one.
const std::string& WorkDir() {
  static const std::string* const dir = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/kalvex-mapped-fuzz-XXXXXX";
    FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    std::atexit(RemoveWorkDir);
    return new std::string(pattern);
  }();
  return *dir;
}

void RemoveWorkDir() {
  std::remove((WorkDir() + "/store.klvx").c_str());
  ::rmdir(WorkDir().c_str());
}

Bytes AsBytes(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// Everything a reader answers for `probes`, as text, or the first error met.
struct Answers {
  std::string text;
  bool sorted = true;
};

std::string Render(const Result<std::optional<std::uint64_t>>& r, const reader::Reader& reader) {
  if (!r.ok()) return "E" + r.error().Render();
  if (!r.value()) return "-";
  auto payload = reader.FetchObject(*r.value());
  return payload.ok() ? "=" + AsString(payload.value()) : "E" + payload.error().Render();
}

Answers Ask(const reader::Reader& r, const std::vector<std::string>& probes, bool with_prefixes) {
  Answers a;
  for (const std::string& key : probes) {
    a.text += Render(r.Lookup(AsBytes(key)), r) + "|";
  }
  std::string all;
  std::vector<std::size_t> ends;
  for (const std::string& key : probes) {
    all += key;
    ends.push_back(all.size());
  }
  std::vector<Bytes> many(probes.size());
  const Status batch = r.FetchMany(reinterpret_cast<const std::uint8_t*>(all.data()), ends.data(), 0,
                                   ends.size(), many.data());
  a.text += "many:";
  if (batch.ok()) {
    for (Bytes b : many) a.text += b.data() == nullptr ? std::string("-|") : "=" + AsString(b) + "|";
  } else {
    a.text += "E" + batch.error().Render();
  }
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  const Status read = r.ReadEntries(0, r.entry_count(), keys, offsets);
  a.text += "\nentries:";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    a.text += AsString(keys[i]) + "@" + std::to_string(offsets[i]) + "|";
    if (i > 0 && !(AsString(keys[i - 1]) < AsString(keys[i]))) a.sorted = false;
  }
  if (!read.ok()) a.text += "E" + read.error().Render();
  auto range = r.FetchRange(0, r.entry_count());
  a.text += range.ok() ? "\nrange:" + std::to_string(range.value().size()) : "\nrangeE" + range.error().Render();
  auto unique = r.FetchUniqueObjects();
  a.text += unique.ok() ? "\nunique:" + std::to_string(unique.value().size()) : "\nuniqueE" + unique.error().Render();
  if (with_prefixes) {
    for (const std::string& key : probes) {
      for (std::size_t len : {std::size_t{0}, std::size_t{1}, key.size()}) {
        const auto range = r.SearchPrefix(AsBytes(key.substr(0, std::min(len, key.size()))));
        a.text += range.ok() ? "\nprefix:" + std::to_string(range.value().first) + "-" +
                                   std::to_string(range.value().second)
                             : "\nprefixE" + range.error().Render();
      }
    }
  }
  return a;
}

void Run(Bytes input) {
  if (input.size() < 2) return;
  const std::size_t n = input[0] % 48;
  const std::uint8_t flags = input[1];
  std::size_t p = 2;
  std::map<std::string, std::string> model;
  writer::Writer w;
  for (std::size_t i = 0; i < n && p < input.size(); ++i) {
    const std::size_t wanted = input[p++] % 20;
    const std::size_t length = std::min<std::size_t>(wanted, input.size() - p);
    const std::string key(reinterpret_cast<const char*>(input.data() + p), length);
    p += length;
    const std::string value = "v" + std::to_string(i);
    FUZZ_REQUIRE(w.AddKey(AsBytes(key), w.AddObject(AsBytes(value))).ok(), "AddKey failed");
    model[key] = value;
  }
  const std::string path = WorkDir() + "/store.klvx";
  writer::BuildOptions options;
  options.mapped_index = true;
  FUZZ_REQUIRE(w.Build(path, options).ok(), "Build failed");
  std::string file;
  {
    std::ifstream in(path, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), {});
  }

  auto* b = reinterpret_cast<std::uint8_t*>(file.data());
  const std::uint64_t index_offset = LoadBe64(b + format::kIndexOffsetPos);
  const auto trailer = format::IndexTrailer::DecodeFrom(b + index_offset - format::kIndexTrailerSize);
  const std::uint64_t payload =
      trailer.padding + (trailer.slot_count + format::SampleCountFor(trailer.num_keys, trailer.rank_shift)) * 8 +
      format::kIndexTrailerSize;
  const std::uint64_t record = index_offset - format::kRecordHeadSize - payload;
  const std::uint64_t region = file.size() - record;
  bool edited = false;
  for (; p + 3 <= input.size(); p += 3) {
    const std::uint64_t at = record + ((std::uint64_t{input[p]} << 8 | input[p + 1]) % region);
    b[at] ^= input[p + 2];
    edited = edited || input[p + 2] != 0;
  }
  if (flags & 1) {
    format::SetRecordPayloadCrc(b + record, crc32::Value(b + record + format::kRecordHeadSize, payload));
    StoreBe32(b + format::kFileCrcPos, crc32::Value(b + format::kHeaderSize, file.size() - format::kHeaderSize));
  }

  static MemFile mem;
  mem.Write(b, file.size());
  auto opened = reader::Reader::Open(mem.path(), (flags & 2) != 0, /*map_index=*/true);
  if (!opened.ok()) {
    FUZZ_REQUIRE(edited, "an undamaged file failed to open: %s", opened.error().Render().c_str());
    FUZZ_REQUIRE(opened.error().kind() == ErrorKind::kCorrupt || opened.error().kind() == ErrorKind::kVersion,
                 "open failed with %s",
                 opened.error().Render().c_str());
    return;
  }
  const reader::Reader& mapped = *opened.value();
  std::vector<std::string> probes;
  for (const auto& [key, value] : model) {
    probes.push_back(key);
    probes.push_back(key + "x");
  }
  probes.push_back("");
  const Answers got = Ask(mapped, probes, true);
  const Status verified = mapped.Verify();
  if (!verified.ok()) {
    FUZZ_REQUIRE(edited, "an undamaged file failed its check: %s", verified.error().Render().c_str());
    FUZZ_REQUIRE(verified.error().kind() == ErrorKind::kCorrupt, "verify failed with %s",
                 verified.error().Render().c_str());
    return;
  }
  if (!edited) {
    FUZZ_REQUIRE(mapped.maps_index(), "an undamaged index was not used");
    for (const auto& [key, value] : model) {
      FUZZ_REQUIRE(Render(mapped.Lookup(AsBytes(key)), mapped) == "=" + value, "wrong answer for a key");
    }
  }
  // A structure that passes the deep check answers as the parsed index section does.
  auto plain = reader::Reader::Open(mem.path(), false, /*map_index=*/false);
  FUZZ_REQUIRE(plain.ok(), "the plain open failed where the mapped one passed its check: %s",
               plain.error().Render().c_str());
  const Answers want = Ask(*plain.value(), probes, got.sorted);
  const Answers again = Ask(mapped, probes, got.sorted);
  FUZZ_REQUIRE(again.text == want.text, "checked mapped index answers differently:\n%s\n----\n%s",
               again.text.c_str(), want.text.c_str());
}

}  // namespace
}  // namespace kalvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalvex::fuzz::Run({data, size});
  return 0;
}
