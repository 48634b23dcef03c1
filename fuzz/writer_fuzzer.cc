// Fuzz target: the input is a sequence of writer calls.
//
// Each call is applied to a Writer and to a model (the payload list and a std::map of
// key to Object ID). A call the model expects to fail must fail with the expected
// message and change nothing. Every build is then checked: the file's bytes equal the
// container the model describes, encoded here independently, and the temporary file is
// gone. After the last build (after every build in one input in 16) a Reader opened
// with the whole-file check reads the same mapping back.
//
// Encoding, one opcode byte (taken modulo 6) then its operands; missing bytes read as 0:
//   0 add object      len, payload[len]
//   1 add key         len, key[len], obj_id (one byte, so out-of-range ids are common)
//   2 remap key       which existing key, obj_id modulo (objects + 1)
//   3 bad obj_id      selector: 0 -> objects, 1 -> 2^64 - 1, n -> objects + n
//   4 long key        selector (odd: 65536 bytes, else 65535), fill byte, obj_id; 65535
//                     only in the one input in 128 drawn for large files, see Run()
//   5 build           (the first three; one more always ends the input)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/reader/reader.h"
#include "core/writer/writer.h"
#include "core/writer/summary_line.h"
#include "fuzz_support.h"

namespace kalvex::fuzz {
namespace {

// Reads the input front to back; past the end every byte is 0.
class Cursor {
 public:
  explicit Cursor(Bytes input) : input_(input) {}
  bool done() const { return pos_ >= input_.size(); }
  std::uint8_t Byte() { return done() ? 0 : input_[pos_++]; }
  std::string Take(std::size_t n) {
    n = std::min(n, input_.size() - pos_);
    std::string out(reinterpret_cast<const char*>(input_.data() + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  Bytes input_;
  std::size_t pos_ = 0;
};

Bytes AsBytes(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

bool SameBytes(Bytes a, Bytes b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void RemoveWorkDir();

// One directory for the whole run, on a memory file system when there is one: a build
// ends in fsync, which on a disk would dominate every execution. Never freed, so that
// the exit handler that removes the directory can still name it.
const std::string& WorkDir() {
  static const std::string* const dir = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/kalvex-writer-fuzz-XXXXXX";
    FUZZ_REQUIRE(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    std::atexit(RemoveWorkDir);
    return new std::string(pattern);
  }();
  return *dir;
}

void RemoveWorkDir() {
  for (const char* name : {"store.klvx", "store", "store.db", "store.klvx.tmp"}) {
    std::remove((WorkDir() + "/" + name).c_str());
  }
  ::rmdir(WorkDir().c_str());
}

// The whole file, or "" if it cannot be read (the comparison with the model then fails).
std::string ReadFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0) {
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    out.resize(done);
  }
  if (fd >= 0) ::close(fd);
  return out;
}

void PutBe(std::string& out, std::uint64_t v, int width) {
  char bytes[8];
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<char>(v >> (8 * (width - 1 - i)));
  out.append(bytes, static_cast<std::size_t>(width));
}

struct Model {
  std::vector<std::string> objects;
  // std::string orders its bytes as unsigned char, which is the file's key order.
  std::map<std::string, std::uint64_t> keys;

  // The container file these objects and keys make.
  std::string Encode() const {
    std::string file(40, '\0');  // the header, written once the sections are in place
    std::vector<std::uint64_t> offsets;
    for (const std::string& payload : objects) {
      offsets.push_back(file.size());
      PutBe(file, payload.size(), 4);
      PutBe(file, ReferenceCrc(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()), 4);
      file += payload;
    }
    const std::uint64_t index_offset = file.size();
    for (const auto& [key, id] : keys) {
      PutBe(file, key.size(), 2);
      file += key;
      PutBe(file, offsets[id], 8);
    }
    std::string header = "KLVX";
    header += std::string("\x02\0\0\0", 4);
    PutBe(header, keys.size(), 4);
    PutBe(header, objects.size(), 4);
    PutBe(header, index_offset, 8);
    PutBe(header, 40, 8);
    PutBe(header, ReferenceCrc(reinterpret_cast<const std::uint8_t*>(file.data()) + 40, file.size() - 40), 4);
    header += std::string(4, '\0');
    return file.replace(0, header.size(), header);
  }
};

void CheckCounts(const writer::Writer& w, const Model& m) {
  // A writer without a budget keeps its keys in memory: counting them cannot fail.
  const Result<std::uint64_t> keys = w.num_keys();
  FUZZ_REQUIRE(keys.ok(), "counting the keys failed");
  FUZZ_REQUIRE(w.num_objects() == m.objects.size() && keys.value() == m.keys.size(),
               "writer holds %llu objects and %llu keys, model %zu and %zu",
               static_cast<unsigned long long>(w.num_objects()), static_cast<unsigned long long>(keys.value()),
               m.objects.size(), m.keys.size());
}

void AddKey(writer::Writer& w, Model& m, const std::string& key, std::uint64_t id) {
  const Status added = w.AddKey(AsBytes(key), id);
  std::string want;
  if (id >= m.objects.size()) {
    want = "KalvError: obj_id " + std::to_string(id) + " out of range (have " +
           std::to_string(m.objects.size()) + " objects)";
  } else if (key.size() > 65535) {
    want = "KalvError: key is " + std::to_string(key.size()) + " bytes, format maximum is 65535";
  } else {
    m.keys[key] = id;
  }
  const std::string got = added.ok() ? "" : added.error().Render();
  FUZZ_REQUIRE(got == want, "AddKey(%zu bytes, %llu): got '%s', want '%s'", key.size(),
               static_cast<unsigned long long>(id), got.c_str(), want.c_str());
}

// Builds into `name` and compares the file with the model; with `read_back`, also reads
// the store back through a Reader. The byte comparison pins down every build; reading
// back costs as much as the rest of an input, so it follows the last build only, except
// in the inputs drawn for it.
void BuildAndCheck(const writer::Writer& w, const Model& m, const std::string& name, bool read_back) {
  // Counted here rather than after every call: asking for the count places the keys the
  // writer holds back, and between builds they should gather and be placed together, as
  // in real use. A failed call that changed something shows in the file all the same.
  CheckCounts(w, m);
  const std::string path = WorkDir() + "/" + name;
  const auto built = w.Build(path);
  FUZZ_REQUIRE(built.ok(), "Build failed: %s", built.error().Render().c_str());
  const writer::BuildReport& report = built.value();

  const std::string want = m.Encode();
  const std::string got = ReadFile(path);
  FUZZ_REQUIRE(got == want, "built file (%zu bytes) differs from the model's (%zu bytes)", got.size(),
               want.size());
  struct stat st;
  FUZZ_REQUIRE(::stat(writer::TemporaryPathFor(path).c_str(), &st) != 0, "temporary file left behind");
  FUZZ_REQUIRE(report.num_objects == m.objects.size() && report.num_keys == m.keys.size() &&
                   report.file_size == want.size(),
               "build report differs from the file");

  // The summary's size: bytes / 1024 to one decimal, ties to even on the exact value,
  // which is how printf rounds an exactly representable double.
  char kb[64];
  std::snprintf(kb, sizeof kb, "%.1f", static_cast<double>(report.file_size) / 1024);
  const std::string line = writer::SummaryLine(path, report);
  const std::string tail = " keys \u00B7 " + std::string(kb) + " KB\n";
  FUZZ_REQUIRE(line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0,
               "summary line '%s' does not end in '%s'", line.c_str(), tail.c_str());
  if (!read_back) return;

  auto opened = reader::Reader::Open(path, true);
  FUZZ_REQUIRE(opened.ok(), "reading back: %s", opened.error().Render().c_str());
  const reader::Reader& r = *opened.value();
  FUZZ_REQUIRE(r.entry_count() == m.keys.size(), "read back %zu keys, want %zu", r.entry_count(), m.keys.size());
  std::vector<reader::Bytes> stored_keys;
  std::vector<std::uint64_t> stored_offsets;
  FUZZ_REQUIRE(r.ReadEntries(0, r.entry_count(), stored_keys, stored_offsets).ok(), "walking the index failed");
  std::size_t i = 0;
  std::set<std::uint64_t> referenced;
  for (const auto& [key, id] : m.keys) {
    const reader::Bytes stored = stored_keys[i++];
    FUZZ_REQUIRE(SameBytes(stored, AsBytes(key)), "key %zu out of order", i - 1);
    const auto offset = r.Find(AsBytes(key));
    FUZZ_REQUIRE(offset.has_value(), "key %zu not found", i - 1);
    const auto payload = r.FetchObject(*offset);
    FUZZ_REQUIRE(payload.ok() && SameBytes(payload.value(), AsBytes(m.objects[id])),
                 "key %zu reads back the wrong object", i - 1);
    referenced.insert(id);
  }
  const auto unique = r.FetchUniqueObjects();
  FUZZ_REQUIRE(unique.ok() && unique.value().size() == referenced.size(), "distinct objects differ");
  const Status verified = r.Verify();
  FUZZ_REQUIRE(verified.ok(), "Verify of a fresh build: %s", verified.error().Render().c_str());
}

void Run(Bytes input) {
  // A key of 65535 bytes makes every later build a file past the writer's small-file
  // size, the path of its staged writes, at several times the cost of an ordinary input;
  // so only one input in 128 may store one. Elsewhere a long key is one byte over the
  // limit, which is refused before it costs a build anything. One input in 16 (never
  // one of those) reads back after every build.
  const std::uint32_t draw = Draw(input);
  const bool large_files = draw % 128 == 0;
  const bool read_back_each = draw % 16 == 8;
  writer::Writer w;
  Model m;
  Cursor in(input);
  static const char* const kNames[] = {"store.klvx", "store", "store.db"};
  std::size_t builds = 0;
  std::size_t long_keys = 0;
  while (!in.done()) {
    switch (in.Byte() % 6) {
      case 0: {
        const std::string payload = in.Take(in.Byte());
        const std::uint64_t id = w.AddObject(AsBytes(payload));
        FUZZ_REQUIRE(id == m.objects.size(), "AddObject returned %llu, want %zu",
                     static_cast<unsigned long long>(id), m.objects.size());
        m.objects.push_back(payload);
        break;
      }
      case 1: {
        const std::string key = in.Take(in.Byte());
        AddKey(w, m, key, in.Byte());
        break;
      }
      case 2: {
        const std::uint8_t which = in.Byte();
        const std::uint64_t id = in.Byte() % (m.objects.size() + 1);
        if (m.keys.empty()) break;
        AddKey(w, m, std::next(m.keys.begin(), which % m.keys.size())->first, id);
        break;
      }
      case 3: {
        const std::uint8_t selector = in.Byte();
        const std::uint64_t id = selector == 1 ? ~std::uint64_t{0} : m.objects.size() + (selector == 0 ? 0 : selector);
        AddKey(w, m, "bad-id", id);
        break;
      }
      case 4: {
        const std::size_t length = (in.Byte() & 1) || !large_files ? 65536 : 65535;
        const char fill = static_cast<char>(in.Byte());
        const std::uint8_t id = in.Byte();
        if (++long_keys > 2) break;  // each is a 64 KiB key; two cover the limit
        AddKey(w, m, std::string(length, fill), id);
        break;
      }
      case 5:
        // Rebuilding shows that a build leaves the writer as it was; a few suffice, and
        // each costs a file.
        if (builds < 3) BuildAndCheck(w, m, kNames[builds++ % 3], read_back_each);
        break;
    }
  }
  BuildAndCheck(w, m, kNames[builds % 3], true);
}

}  // namespace
}  // namespace kalvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kalvex::fuzz::Run({data, size});
  return 0;
}
