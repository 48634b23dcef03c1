// Fuzz target: the input is a whole container file.
//
// Each input is opened with and without the whole-file check, then again with its
// file_crc32 made to match (otherwise almost no mutated input would get past that check
// and the deep paths would go unfuzzed). Every result is compared with a model parsed
// here from the raw bytes: which error an open reports, the key and offset lists, what
// Find, FetchObject, the scans and Verify return. Besides "no crash, no sanitizer
// report", that catches wrong answers and wrong messages on hostile files.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/format/compression_layout.h"
#include "core/format/crc32.h"
#include "core/reader/file_order.h"
#include "core/reader/reader.h"
#include "fuzz_support.h"

namespace kalvex::fuzz {
namespace {

constexpr std::uint64_t kHeaderSize = 40;

std::string Hex(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

// Unsigned bytewise order, a proper prefix first.
bool KeyLess(const std::string& a, const std::string& b) {
  const std::size_t common = std::min(a.size(), b.size());
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return c < 0 || (c == 0 && a.size() < b.size());
}

bool StartsWith(const std::string& key, const std::string& prefix) {
  return key.size() >= prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
}

// What a correct reader makes of `file`, derived from the layout alone.
struct Model {
  Bytes file;
  std::string header_error;  // size, magic or version: reported whatever `verify` is
  std::string index_error;   // a truncated index entry
  std::uint32_t num_keys = 0, num_objects = 0, stored_crc = 0, computed_crc = 0;
  std::uint64_t index_offset = 0;
  std::vector<std::string> keys;
  std::vector<std::uint64_t> offsets;
  std::map<std::string, std::uint64_t> last_offset;  // the hash index: later entry wins

  bool crc_ok() const { return stored_crc == computed_crc; }
  std::string CrcError() const {
    return "KalvCorruptError: file CRC32 mismatch  stored=" + Hex(stored_crc) +
           " computed=" + Hex(computed_crc);
  }
  std::string ExpectedOpen(bool verify) const {
    if (!header_error.empty()) return header_error;
    if (verify && !crc_ok()) return CrcError();
    return index_error;
  }
};

Model Parse(Bytes file) {
  Model m;
  m.file = file;
  const std::uint64_t n = file.size();
  const std::uint8_t* b = file.data();
  if (n < kHeaderSize) {
    m.header_error = "KalvCorruptError: file too small for header";
    return m;
  }
  if (std::memcmp(b, "KLVX", 4) != 0) {
    m.header_error = "KalvCorruptError: bad magic [" + std::to_string(b[0]) + ", " +
                     std::to_string(b[1]) + ", " + std::to_string(b[2]) + ", " +
                     std::to_string(b[3]) + "]";
    return m;
  }
  if (b[4] != 2) {
    m.header_error = "KalvVersionError: unsupported version " + std::to_string(b[4]);
    return m;
  }
  m.num_keys = static_cast<std::uint32_t>(LoadBe(b + 8, 4));
  m.num_objects = static_cast<std::uint32_t>(LoadBe(b + 12, 4));
  m.index_offset = LoadBe(b + 16, 8);
  m.stored_crc = static_cast<std::uint32_t>(LoadBe(b + 32, 4));
  m.computed_crc = ReferenceCrc(b + kHeaderSize, n - kHeaderSize);

  // Every entry takes at least 10 bytes, so this ends within n / 10 rounds.
  std::uint64_t p = m.index_offset;
  for (std::uint32_t i = 0; i < m.num_keys; ++i) {
    if (p > n || n - p < 2) {
      m.index_error = "KalvCorruptError: index section truncated (key_len)";
      break;
    }
    const std::uint64_t length = LoadBe(b + p, 2);
    if (n - p - 2 < length + 8) {
      m.index_error = "KalvCorruptError: index section truncated (key + offset)";
      break;
    }
    std::string key(reinterpret_cast<const char*>(b + p + 2), length);
    const std::uint64_t offset = LoadBe(b + p + 2 + length, 8);
    m.last_offset[key] = offset;
    m.keys.push_back(std::move(key));
    m.offsets.push_back(offset);
    p += 2 + length + 8;
  }
  if (!m.index_error.empty()) {
    m.keys.clear();
    m.offsets.clear();
    m.last_offset.clear();
  } else if (p != n) {
    // The index section must end at the end of the file (with no keys: index_offset is n).
    // The entries stay: the large-index check builds its file from them.
    m.index_error = "KalvCorruptError: index section ends at " + std::to_string(p) + " but the file is " +
                    std::to_string(n) + " bytes (num_keys " + std::to_string(m.num_keys) + ", index_offset " +
                    std::to_string(m.index_offset) + ")";
  }
  return m;
}

// The payload at `offset`, or the rendered error of the object fetch.
struct Fetched {
  std::string error;
  Bytes payload;
};

Fetched ModelFetch(Bytes file, std::uint64_t offset) {
  const std::uint64_t n = file.size();
  if (offset > n || n - offset < 8) {
    return {"KalvCorruptError: offset " + std::to_string(offset) + " out of bounds", {}};
  }
  const std::uint64_t length = LoadBe(file.data() + offset, 4);
  if (n - offset - 8 < length) {
    return {"KalvCorruptError: object at " + std::to_string(offset) + " extends beyond file end", {}};
  }
  return {"", file.subspan(offset + 8, length)};
}

std::string ModelVerify(const Model& m) {
  if (!m.crc_ok()) return m.CrcError();
  const std::uint64_t n = m.file.size();
  std::set<std::uint64_t> seen;
  for (const std::uint64_t offset : m.offsets) {
    if (!seen.insert(offset).second) continue;
    const std::string at = std::to_string(offset);
    if (offset > n || n - offset < 8) return "KalvCorruptError: object offset " + at + " out of bounds";
    const std::uint64_t length = LoadBe(m.file.data() + offset, 4);
    if (n - offset - 8 < length) return "KalvCorruptError: object at " + at + " extends beyond file end";
    const std::uint32_t stored = static_cast<std::uint32_t>(LoadBe(m.file.data() + offset + 4, 4));
    if (ReferenceCrc(m.file.data() + offset + 8, length) != stored) {
      return "KalvCorruptError: object CRC32 mismatch at offset " + at;
    }
  }
  // Then the records from 40 must chain exactly to index_offset (which an open reader's
  // index puts at most at n), num_objects of them.
  const std::string index_at = std::to_string(m.index_offset);
  if (m.index_offset < kHeaderSize) return "KalvCorruptError: index_offset " + index_at + " lies inside the header";
  std::uint64_t pos = kHeaderSize, count = 0;
  for (; pos < m.index_offset; ++count) {
    const std::uint64_t room = m.index_offset - pos;
    if (room < 8 || room - 8 < LoadBe(m.file.data() + pos, 4)) {
      return "KalvCorruptError: object record at " + std::to_string(pos) + " runs past index_offset " + index_at;
    }
    pos += 8 + LoadBe(m.file.data() + pos, 4);
  }
  if (count != m.num_objects) {
    return "KalvCorruptError: data section holds " + std::to_string(count) + " object records but num_objects is " +
           std::to_string(m.num_objects);
  }
  return "";
}

bool SameBytes(Bytes a, Bytes b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

Bytes AsBytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

template <class T>
std::string ErrorText(const Result<T>& r) {
  return r.ok() ? std::string() : r.error().Render();
}

void CheckFetch(const reader::Reader& r, const Model& m, std::uint64_t offset) {
  const auto got = r.FetchObject(offset);
  const Fetched want = ModelFetch(m.file, offset);
  FUZZ_REQUIRE(ErrorText(got) == want.error, "FetchObject(%llu): got '%s', want '%s'",
               static_cast<unsigned long long>(offset), ErrorText(got).c_str(), want.error.c_str());
  if (got.ok()) FUZZ_REQUIRE(SameBytes(got.value(), want.payload), "FetchObject(%llu): wrong payload",
                             static_cast<unsigned long long>(offset));
}

void CheckFind(const reader::Reader& r, const Model& m, const std::string& key) {
  const std::optional<std::uint64_t> got = r.Find(AsBytes(key));
  const auto it = m.last_offset.find(key);
  if (it == m.last_offset.end()) {
    FUZZ_REQUIRE(!got.has_value(), "Find of an absent key of %zu bytes found something", key.size());
    return;
  }
  FUZZ_REQUIRE(got == it->second, "Find of a key of %zu bytes: wrong offset", key.size());
  CheckFetch(r, m, *got);  // the point lookup: probe, then fetch
}

// Payloads of entries [first, last) as the model fetches them, or the first error.
void CheckFetchRange(const reader::Reader& r, const Model& m, std::size_t first, std::size_t last) {
  const auto got = r.FetchRange(first, last);
  std::string want_error;
  std::vector<Bytes> want;
  for (std::size_t i = first; i < last && want_error.empty(); ++i) {
    Fetched f = ModelFetch(m.file, m.offsets[i]);
    want_error = f.error;
    want.push_back(f.payload);
  }
  FUZZ_REQUIRE(ErrorText(got) == want_error, "FetchRange(%zu, %zu): got '%s', want '%s'", first, last,
               ErrorText(got).c_str(), want_error.c_str());
  if (!got.ok()) return;
  FUZZ_REQUIRE(got.value().size() == want.size(), "FetchRange(%zu, %zu): %zu payloads, want %zu",
               first, last, got.value().size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    FUZZ_REQUIRE(SameBytes(got.value()[i], want[i]), "FetchRange: payload %zu differs", first + i);
  }
}

void CheckPrefix(const reader::Reader& r, const Model& m, const std::string& prefix, bool sorted) {
  const auto [first, last] = r.PrefixRange(AsBytes(prefix));
  const std::size_t n = m.keys.size();
  FUZZ_REQUIRE(first <= last && last <= n, "PrefixRange out of range: [%zu, %zu) of %zu", first, last, n);
  for (std::size_t i = first; i < last; ++i) {
    FUZZ_REQUIRE(StartsWith(m.keys[i], prefix), "PrefixRange holds key %zu without the prefix", i);
  }
  // A prefix range starts at the prefix's seek, unless that seek met damage.
  const Result<std::size_t> bound = r.LowerBound(AsBytes(prefix));
  FUZZ_REQUIRE(bound.ok() ? bound.value() == first : first == last,
               "LowerBound of a %zu-byte prefix: %s, prefix range [%zu, %zu)", prefix.size(),
               bound.ok() ? std::to_string(bound.value()).c_str() : bound.error().Render().c_str(), first, last);
  if (sorted) {
    // In a sorted index the matching keys are exactly one run, starting where the
    // prefix itself would be inserted.
    const std::size_t want_first = static_cast<std::size_t>(
        std::lower_bound(m.keys.begin(), m.keys.end(), prefix, KeyLess) - m.keys.begin());
    const std::size_t matching = static_cast<std::size_t>(
        std::count_if(m.keys.begin(), m.keys.end(), [&](const std::string& k) { return StartsWith(k, prefix); }));
    FUZZ_REQUIRE(first == want_first && last - first == matching,
                 "PrefixRange of a %zu-byte prefix: [%zu, %zu), want [%zu, %zu)", prefix.size(), first, last,
                 want_first, want_first + matching);
  }
  CheckFetchRange(r, m, first, last);
}

// The file order of entries [first, last): none when an offset lies outside the file or
// the offsets already ascend; otherwise every entry once, by offset, ties in index order.
void CheckFileOrder(const reader::Reader& r, const Model& m, std::size_t first, std::size_t last) {
  const std::optional<reader::FileOrder> got = r.InFileOrder(first, last);
  const auto begin = m.offsets.begin() + static_cast<std::ptrdiff_t>(first);
  const auto end = m.offsets.begin() + static_cast<std::ptrdiff_t>(last);
  const bool outside = std::any_of(begin, end, [&](std::uint64_t o) { return o >= m.file.size(); });
  if (last - first < 2 || outside || std::is_sorted(begin, end)) {
    FUZZ_REQUIRE(!got.has_value(), "FileOrder(%zu, %zu): an order where none is due", first, last);
    return;
  }
  FUZZ_REQUIRE(got.has_value() && got->size() == last - first, "FileOrder(%zu, %zu): no order", first, last);
  std::vector<std::pair<std::uint64_t, std::size_t>> want;
  for (std::size_t i = first; i < last; ++i) want.emplace_back(m.offsets[i], i);
  std::sort(want.begin(), want.end());
  for (std::size_t k = 0; k < want.size(); ++k) {
    FUZZ_REQUIRE(got->offset(k) == want[k].first && first + got->place(k) == want[k].second,
                 "FileOrder(%zu, %zu): entry %zu out of place", first, last, k);
  }
}

// Every read path of an open reader, against the model.
void Exercise(const reader::Reader& r, const Model& m, const std::string& path) {
  const std::uint64_t n = m.file.size();
  FUZZ_REQUIRE(r.path() == path, "path() changed");
  FUZZ_REQUIRE(r.num_keys() == m.num_keys && r.num_objects() == m.num_objects &&
                   r.index_offset() == m.index_offset && r.file_crc32() == m.stored_crc,
               "header values differ from the file's");
  FUZZ_REQUIRE(r.file_size() == n, "file_size() %llu, want %llu",
               static_cast<unsigned long long>(r.file_size()), static_cast<unsigned long long>(n));
  FUZZ_REQUIRE(r.entry_count() == m.keys.size(), "%zu entries, want %zu", r.entry_count(), m.keys.size());
  // Tables are sized by what the file holds, not by what its header claims: at most
  // the index bytes once, 4 bytes per entry and about 10 of hash index, each entry
  // taking at least 10 bytes of file; each of the three tables may round up to a page.
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  FUZZ_REQUIRE(r.MemoryUsage() <= 3 * n + 3 * page + 64, "reader holds %zu bytes for a %llu-byte file",
               r.MemoryUsage(), static_cast<unsigned long long>(n));

  std::vector<reader::Bytes> entry_keys;
  std::vector<std::uint64_t> entry_offsets;
  FUZZ_REQUIRE(r.ReadEntries(0, r.entry_count(), entry_keys, entry_offsets).ok(), "a parsed index cannot fail a walk");
  for (std::size_t i = 0; i < m.keys.size(); ++i) {
    FUZZ_REQUIRE(SameBytes(entry_keys[i], AsBytes(m.keys[i])) && entry_offsets[i] == m.offsets[i],
                 "entry %zu differs from the file", i);
  }

  // Point lookups: stored keys, their near misses, slices of the input, and one long key.
  constexpr std::size_t kProbedKeys = 64;
  for (std::size_t i = 0; i < std::min(m.keys.size(), kProbedKeys); ++i) {
    const std::string& key = m.keys[i];
    CheckFind(r, m, key);
    CheckFind(r, m, key + '\0');
    if (!key.empty()) {
      CheckFind(r, m, key.substr(0, key.size() - 1));
      std::string next = key;
      next.back() = static_cast<char>(next.back() ^ 1);
      CheckFind(r, m, next);
    }
  }
  for (std::size_t j = 0; j < 16 && n > 0; ++j) {
    const std::size_t start = (j * 7919) % n;
    const std::size_t length = std::min<std::size_t>(m.file[start] % 17, n - start);
    CheckFind(r, m, AsString(m.file.subspan(start, length)));
  }
  CheckFind(r, m, AsString(m.file));

  // Object fetches at every referenced offset and at the edges of the file.
  std::set<std::uint64_t> offsets(m.offsets.begin(), m.offsets.end());
  for (const std::uint64_t edge : {std::uint64_t{0}, kHeaderSize, n - 8, n - 7, n, n + 1, m.index_offset,
                                   ~std::uint64_t{0}, ~std::uint64_t{0} - 7}) {
    offsets.insert(edge);
  }
  std::size_t fetched = 0;
  for (const std::uint64_t offset : offsets) {
    if (++fetched > 128) break;
    CheckFetch(r, m, offset);
  }

  // Scans. Prefix results are exact only over a sorted index; any order must still
  // give a range of matching keys.
  bool sorted = true;
  for (std::size_t i = 1; i < m.keys.size(); ++i) sorted = sorted && !KeyLess(m.keys[i], m.keys[i - 1]);
  CheckPrefix(r, m, "", sorted);
  constexpr std::size_t kPrefixKeys = 32;
  for (std::size_t i = 0; i < std::min(m.keys.size(), kPrefixKeys); ++i) {
    const std::string& key = m.keys[i];
    CheckPrefix(r, m, key, sorted);
    CheckPrefix(r, m, key + '\xff', sorted);
    if (!key.empty()) {
      CheckPrefix(r, m, key.substr(0, 1), sorted);
      CheckPrefix(r, m, key.substr(0, key.size() / 2), sorted);
      std::string above = key;
      above.back() = static_cast<char>(static_cast<std::uint8_t>(above.back()) + 1);
      CheckPrefix(r, m, above, sorted);
    }
  }
  CheckFetchRange(r, m, 0, m.keys.size());
  CheckFileOrder(r, m, 0, m.keys.size());
  CheckFileOrder(r, m, m.keys.size() / 3, m.keys.size());
  const auto empty = r.FetchRange(m.keys.size(), 0);
  FUZZ_REQUIRE(empty.ok() && empty.value().empty(), "FetchRange with last < first is not empty");

  // Distinct objects, in first-occurrence order; the first failing fetch is the error.
  const auto unique = r.FetchUniqueObjects();
  std::string want_error;
  std::vector<Bytes> want;
  std::set<std::uint64_t> seen;
  for (const std::uint64_t offset : m.offsets) {
    if (!seen.insert(offset).second) continue;
    Fetched f = ModelFetch(m.file, offset);
    if (!f.error.empty()) {
      want_error = f.error;
      break;
    }
    want.push_back(f.payload);
  }
  FUZZ_REQUIRE(ErrorText(unique) == want_error, "FetchUniqueObjects: got '%s', want '%s'",
               ErrorText(unique).c_str(), want_error.c_str());
  if (unique.ok()) {
    FUZZ_REQUIRE(unique.value().size() == want.size(), "FetchUniqueObjects: %zu objects, want %zu",
                 unique.value().size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      FUZZ_REQUIRE(SameBytes(unique.value()[i], want[i]), "FetchUniqueObjects: object %zu differs", i);
    }
  }

  const Status verified = r.Verify();
  const std::string want_verify = ModelVerify(m);
  FUZZ_REQUIRE(ErrorText(verified) == want_verify, "Verify: got '%s', want '%s'",
               ErrorText(verified).c_str(), want_verify.c_str());
}

// A store that declares compressed values, opened to decode them: every value of every
// entry is decoded, or refused with KalvCorruptError, never anything else. The model
// knows no compression, so what is checked is what holds for any input: the length
// decoded is the one announced, a raw value is its stored body, and Verify agrees with
// the lookups (a file it passes decodes everywhere).
void DecodeEvery(MemFile& file) {
  auto opened = reader::Reader::Open(file.path(), false, true, true);
  if (!opened.ok()) {
    FUZZ_REQUIRE(opened.error().kind() == ErrorKind::kCorrupt || opened.error().kind() == ErrorKind::kVersion ||
                     opened.error().kind() == ErrorKind::kIO,
                 "decoding open: unexpected failure '%s'", ErrorText(opened).c_str());
    return;
  }
  const reader::Reader& r = *opened.value();
  if (r.decoder() == nullptr) return;
  const bool sound = r.Verify().ok();
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  if (!r.ReadEntries(0, r.entry_count(), keys, offsets).ok()) return;
  std::vector<std::uint8_t> out;
  for (const std::uint64_t offset : offsets) {
    const auto stored = r.FetchObject(offset);
    if (!stored.ok()) continue;
    const auto length = r.DecodedSize(stored.value());
    FUZZ_REQUIRE(length.ok() || length.error().kind() == ErrorKind::kCorrupt, "DecodedSize: '%s'",
                 ErrorText(length).c_str());
    FUZZ_REQUIRE(length.ok() || !sound, "DecodedSize fails on a file Verify passes: '%s'", ErrorText(length).c_str());
    if (!length.ok()) continue;
    out.assign(length.value() + 1, 0xA5);
    const Status decoded = r.Decode(stored.value(), out.data(), length.value());
    FUZZ_REQUIRE(decoded.ok() || decoded.error().kind() == ErrorKind::kCorrupt, "Decode: '%s'",
                 ErrorText(decoded).c_str());
    FUZZ_REQUIRE(decoded.ok() || !sound, "Decode fails on a file Verify passes: '%s'", ErrorText(decoded).c_str());
    FUZZ_REQUIRE(out[length.value()] == 0xA5, "Decode wrote past the length it announced");
    format::ValueHead head;
    if (decoded.ok() && format::DecodeValueHead(stored.value().data(), stored.value().size(), head) &&
        head.kind == format::StoredKind::kRaw) {
      FUZZ_REQUIRE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length.value()),
                              stored.value().begin() + head.size),
                   "a raw value decodes to other bytes than its body");
    }
  }
}

// Opens the bytes both ways and, where the open succeeds, reads them every way.
void OpenAndRead(MemFile& file, Bytes bytes) {
  file.Write(bytes.data(), bytes.size());
  const Model m = Parse(bytes);
  for (const bool verify : {false, true}) {
    auto opened = reader::Reader::Open(file.path(), verify);
    const std::string want = m.ExpectedOpen(verify);
    FUZZ_REQUIRE(ErrorText(opened) == want, "Open(verify=%d): got '%s', want '%s'", verify,
                 ErrorText(opened).c_str(), want.c_str());
    // Both opens build the same state; one full pass over it is enough.
    if (opened.ok() && !verify) Exercise(*opened.value(), m, file.path());
  }
  DecodeEvery(file);
}

// The CRC engines pick their path by length and alignment; every split and every start
// must agree with the reference.
void CheckCrc(Bytes input) {
  for (std::size_t skip = 0; skip < std::min<std::size_t>(input.size(), 8); ++skip) {
    const Bytes rest = input.subspan(skip);
    const std::uint32_t want = ReferenceCrc(rest.data(), rest.size());
    FUZZ_REQUIRE(crc32::Value(rest.data(), rest.size()) == want, "CRC of %zu bytes at +%zu", rest.size(), skip);
    const std::size_t cut = rest.empty() ? 0 : rest[0] % (rest.size() + 1);
    const std::uint32_t split = crc32::Extend(crc32::Value(rest.data(), cut), rest.data() + cut, rest.size() - cut);
    FUZZ_REQUIRE(split == want, "CRC split at %zu of %zu bytes", cut, rest.size());
  }
}

// Large indexes take paths that inputs of a few KiB never reach: thousands of keys fill
// the hash table region by region, and past 2^15 keys the entry table starts another
// block of positions. So a small share of inputs is blown up into an index of 2^15 keys
// and more: every entry repeated under distinct suffixes, each suffixed key twice with
// different offsets, so that the later-entry-wins rule is tested there as well.
void CheckLargeIndex(MemFile& file, const Model& small) {
  constexpr std::size_t kLargeIndex = std::size_t{1} << 15;
  if (small.keys.empty()) return;
  const std::size_t rounds = (kLargeIndex / small.keys.size() + 2) & ~std::size_t{1};
  std::vector<std::uint8_t> bytes(kHeaderSize, 0);
  std::memcpy(bytes.data(), "KLVX\x02", 5);
  const std::uint64_t count = rounds * small.keys.size();
  for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<std::uint8_t>(count >> (24 - 8 * i));
  bytes[23] = kHeaderSize;  // index_offset: no data section
  // Keys cut to 8 bytes keep the file small. Cuts may merge keys, so the expected
  // mapping is taken from the entries as written: the later entry of a key wins.
  std::unordered_map<std::string, std::uint64_t> want;
  for (std::size_t r = 0; r < rounds; ++r) {
    for (std::size_t k = 0; k < small.keys.size(); ++k) {
      std::string key = small.keys[k].substr(0, 8);
      key.push_back(static_cast<char>(r >> 9));
      key.push_back(static_cast<char>(r >> 1));
      const std::uint64_t offset = small.offsets[k] + r;
      bytes.push_back(static_cast<std::uint8_t>(key.size() >> 8));
      bytes.push_back(static_cast<std::uint8_t>(key.size()));
      bytes.insert(bytes.end(), key.begin(), key.end());
      for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
      want[std::move(key)] = offset;
    }
  }
  file.Write(bytes.data(), bytes.size());
  auto opened = reader::Reader::Open(file.path(), false);
  FUZZ_REQUIRE(opened.ok(), "large index: %s", ErrorText(opened).c_str());
  const reader::Reader& r = *opened.value();
  FUZZ_REQUIRE(r.entry_count() == count, "large index: %zu entries, want %llu", r.entry_count(),
               static_cast<unsigned long long>(count));
  for (const auto& [key, offset] : want) {
    FUZZ_REQUIRE(r.Find(AsBytes(key)) == offset, "large index: a key of %zu bytes maps wrongly", key.size());
    // Usually a stranger, but short keys plus a byte can spell another stored key.
    const std::string near = key + 'x';
    const auto it = want.find(near);
    const auto expected = it == want.end() ? std::nullopt : std::optional<std::uint64_t>(it->second);
    FUZZ_REQUIRE(r.Find(AsBytes(near)) == expected, "large index: a near miss of %zu bytes answers wrongly",
                 near.size());
  }
}

}  // namespace
}  // namespace kalvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kalvex::fuzz;
  static MemFile file;
  const Bytes input(data, size);
  CheckCrc(input);
  OpenAndRead(file, input);
  // A large index costs as much as a few hundred ordinary inputs: one input in 256.
  if (size >= kHeaderSize && Draw(input) % 256 == 0) CheckLargeIndex(file, Parse(input));
  if (size >= kHeaderSize) {
    // The same file with a matching whole-file CRC, so the checked open and Verify get
    // past their first step.
    std::vector<std::uint8_t> sealed(data, data + size);
    const std::uint32_t crc = ReferenceCrc(sealed.data() + kHeaderSize, size - kHeaderSize);
    for (int i = 0; i < 4; ++i) sealed[32 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    if (!std::equal(sealed.begin(), sealed.end(), data)) OpenAndRead(file, sealed);
  }
  return 0;
}
