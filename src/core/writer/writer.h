// Writer: the object list and key map of one store, and its atomic build, done as a pure
// plan followed by a commit to the file system.
//
// The writer owns a copy of every payload and every key handed to it; nothing refers
// back to the caller's buffers. Object IDs count from 0 in AddObject order, without gaps.
// A key maps to one Object ID; mapping it again replaces the ID. Plan(), Commit() and
// Build() never change what the writer holds, so a writer can be built any number of
// times and grown in between.
//
// Where the payloads live is the writer's options' business (writer_options.h): by
// default in memory until the build; with a memory budget in a spool file as they are
// added (spool.h), the destination's temporary file when it is known, which a build to
// that destination finishes and publishes in place. A failing spool never fails an add
// (see object_list.h): a build reports it. The keys too, under a budget, leave memory when
// they would pass their share of it: sorted runs in scratch files (key_runs.h), merged at
// build, the last assignment of a key winning (index_items.h); so does a large mapped
// index's slot table (spilled_slots.h). So does the payload index of AddObjectUnique: past
// its share it stops growing, and a payload stored again then is found by the build, which
// writes the first copy alone (deferred_payloads.h, object_aliases.h). Every build writes
// the same bytes either way.
//
// Not thread-safe: the caller serialises every call, const ones included (reading the
// keys finishes work that AddKey defers; see key_map.h). The bindings guard each instance.
// Copying is deleted: a writer may hold gigabytes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/layout.h"
#include "core/result.h"
#include "core/writer/index_items.h"
#include "core/writer/index_object.h"
#include "core/writer/kept_objects.h"
#include "core/writer/object_aliases.h"
#include "core/writer/temporary_file.h"
#include "core/writer/value_compressor.h"
#include "core/writer/writer_options.h"

namespace kalvex::writer {

class FileSink;

struct BuildReport {
  std::uint64_t num_objects = 0;  // the writer's objects; the header counts the index object too
  std::uint64_t num_keys = 0;
  std::uint64_t file_size = 0;
  std::uint64_t index_size = 0;  // bytes of the mapped index's record; 0 without one
  std::uint64_t dictionary_size = 0;  // bytes of a compressed store's dictionary
};

// Byte strings laid end to end, as the C interface's batch calls take them: item i is
// bytes[ends[i - 1], ends[i]), from 0 for i = 0.
struct Concatenated {
  const std::uint8_t* bytes;
  const std::size_t* ends;

  std::span<const std::uint8_t> operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return {bytes + begin, ends[i] - begin};
  }
};

struct BuildOptions {
  // Append a mapped index (format/mapped_index_layout.h) as the data section's last
  // record. Off by default: kalvex._kalvex's files stay byte for byte as they were.
  bool mapped_index = false;
  // Leave out every object no key reaches (see kept_objects.h). Off by default: the
  // low-level module writes every object it was given.
  bool drop_unreferenced = false;
  // Compress the values (format/compression_layout.h). Off by default: a store is then
  // written byte for byte as without the option. Only Build() takes it: a compressed build
  // writes each batch of values as it is compressed, so it has no plan.
  CompressionOptions compression;
};

// Everything a build decides before the file system is touched: the key order, the
// encoded header (every count, offset and CRC in it) and the report. It refers to the
// keys and payloads of the writer that made it, so it is only good for committing while
// that writer stays unchanged. Move-only: it holds up to 16 bytes per key (see IndexItems).
class BuildPlan {
 public:
  BuildPlan(BuildPlan&&) noexcept = default;
  BuildPlan& operator=(BuildPlan&&) noexcept = default;
  BuildPlan(const BuildPlan&) = delete;
  BuildPlan& operator=(const BuildPlan&) = delete;

  // The file's first bytes, exactly as the commit writes them.
  const std::array<std::uint8_t, format::kHeaderSize>& header() const { return header_; }
  const BuildReport& report() const { return report_; }

 private:
  friend class Writer;
  BuildPlan() = default;

  const void* writer_state_ = nullptr;  // the writer that made the plan
  std::uint64_t key_edits_ = 0;         // its AddKey calls by then
  std::uint64_t object_count_ = 0;      // its objects by then
  std::unique_ptr<KeptObjects> kept_;   // the objects written, when some are left out
  std::shared_ptr<const ObjectAliases> aliases_;  // the objects left out as repeats, if any
  std::array<std::uint8_t, format::kHeaderSize> header_{};
  IndexItems items_;
  std::optional<IndexObject> index_object_;
  BuildReport report_;
};

class Writer {
 public:
  // The writer that holds everything in memory until its build (WriterOptions{}).
  Writer();
  explicit Writer(WriterOptions options);
  // Removes the writer's temporary files, if it still holds any (see Discard).
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Copies `payload` and returns its Object ID. No size check here: Build() rejects a
  // payload over the format's limit. On std::bad_alloc the writer is unchanged.
  std::uint64_t AddObject(std::span<const std::uint8_t> payload);

  // Like AddObject, but returns the id of an object added here before whose payload is
  // byte for byte the same, if there is one, instead of storing it again. Objects added
  // through AddObject are never matched. Under a memory budget, once the payload index
  // has reached its share, a payload seen before may get a new id: an alias that stands
  // for the first object of that payload, which a build writes alone (object_aliases.h).
  // On std::bad_alloc the writer is unchanged.
  std::uint64_t AddObjectUnique(std::span<const std::uint8_t> payload);

  // Maps `key` to `obj_id`. Fails with KalvError when obj_id >= num_objects() (checked
  // first), when CheckKey refuses the key, or when obj_id is past what the format counts
  // (format::kMaxObjects: such a writer could never be built); then nothing changes.
  Status AddKey(std::span<const std::uint8_t> key, std::uint64_t obj_id);

  // For each i < count in order: stores payloads[i] as AddObject does (AddObjectUnique
  // when `unique`) and maps keys[i] to it, so a key given twice ends on its later payload.
  // *added counts the pairs done. Refuses the whole batch, changing nothing, when it could
  // take the keys past what the format counts (were every key new). On std::bad_alloc the
  // pairs before *added stay. REQUIRES: every key passes CheckKey.
  Status AddPairs(bool unique, std::size_t count, Concatenated payloads, Concatenated keys, std::size_t* added);

  // The rule every key meets: at most 65535 bytes (KalvError otherwise). Callers that
  // must refuse a batch before changing anything check each key here first.
  static Status CheckKey(std::span<const std::uint8_t> key);

  // Drops every object and key and removes the temporary files the writer holds (only
  // files still its own: a file someone else put at their path stays). The writer is then
  // as it was made, with the same options. Does not throw.
  void Discard() noexcept;

  // The object ids handed out, aliases included: a build's report counts the objects it
  // writes.
  std::uint64_t num_objects() const;
  // Once keys have been spilled (key_runs.h), counting them reads the runs, once per change
  // of the keys; a run that cannot be read fails it with KalvIOError.
  Result<std::uint64_t> num_keys() const;
  // Whether AddKey has mapped `key`. May throw std::bad_alloc (see key_map.h: reading
  // the keys places the parked ones), leaving the writer unchanged; fails with KalvIOError
  // when a spilled run cannot be read.
  Result<bool> ContainsKey(std::span<const std::uint8_t> key) const;

  // The pure half of a build: checks every limit of the format, orders the keys and
  // computes every CRC and header value. Touches no file. Fails with KalvError when a
  // count or a payload exceeds the format. May throw std::bad_alloc.
  // REQUIRES: !options.compression.enabled (see Build).
  Result<BuildPlan> Plan(const BuildOptions& options = {}) const;

  // The dictionary a compressed build would train from the objects (value_compressor.h),
  // for other builds to share. Fails with KalvError when an object is too long to store.
  Result<std::vector<std::uint8_t>> TrainDictionary() const;

  // The file-system half: writes the container file at `path` (UTF-8, possibly holding
  // a zero byte) through its temporary path, fsync and rename. A failure leaves the
  // destination as it was. REQUIRES: `plan` came from this writer's Plan() and the
  // writer has not been changed since (checked: a stale plan is an internal failure).
  Result<BuildReport> Commit(const BuildPlan& plan, std::string_view path) const;

  // Plan(), then Commit(); for compressed values, one pass that compresses and writes
  // (BuildCompressed). Does not print the summary line: that is the caller's business (see
  // summary_line.h).
  Result<BuildReport> Build(std::string_view path, const BuildOptions& options = {}) const;

 private:
  struct State;
  WriterOptions options_;
  // Spills the keys to a run when the next one could pass their share of the budget.
  Status MakeKeyRoom();
  // Gives back the tables that find a key or a payload, which a build does not read: they
  // are the larger part of what adding holds beside the keys, and the build's own buffers
  // (the key order, the mapped index) come on top. The next add or lookup fills them again,
  // so what the writer answers does not change. May throw std::bad_alloc (the key map
  // places its parked keys first), changing nothing.
  void ReleaseLookups() const;
  // Read buffer a build's merge of the spilled keys gives each run.
  std::size_t MergeBufferBytes() const;
  // Makes the payload index, and under a budget the record of the payloads it defers.
  void MakePayloadIndex();
  // The aliases among the objects (null when there are none), found once per change of
  // the objects. Fails as DeferredPayloads::Resolve does. May throw std::bad_alloc.
  // REQUIRES: num_objects() <= format::kMaxObjects (aliases hold 32-bit ids).
  Result<std::shared_ptr<const ObjectAliases>> Aliases() const;
  // A byte per object id: 1 where a build writes the object (every key's, with
  // drop_unreferenced; else every object's), none for an alias. Fails when a spilled run
  // cannot be read.
  Result<std::vector<std::uint8_t>> Written(bool drop_unreferenced, const ObjectAliases* aliases) const;
  // AddObjectUnique for a payload whose hash under the payload index's seed is known.
  std::uint64_t AddObjectUnique(std::span<const std::uint8_t> payload, std::uint64_t hash);

  // Commit()'s writing of every byte through `sink` into `file`, the temporary file it
  // opened, and its publication.
  Result<BuildReport> CommitCopy(const BuildPlan& plan, FileSink& sink, TemporaryFile& file) const;

  // Commit() to `path` of a plan that writes every record, when the spool's file is the
  // temporary file of `path`: the mapped index and the index section after the records, the
  // header over its placeholder, then the rename. The spool is then detached (spool.h).
  Result<BuildReport> CommitInPlace(const BuildPlan& plan, std::string_view path) const;

  // A compressed build: the same checks and the same atomic commit as Plan() and Commit(),
  // with the header written last, over a placeholder, once the compressed values, the
  // dictionary's record, the mapped index and the index section are out.
  Result<BuildReport> BuildCompressed(std::string_view path, const BuildOptions& options) const;

  std::unique_ptr<State> state_;
};

}  // namespace kalvex::writer
