#include "core/writer/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "core/format/compression_layout.h"
#include "core/format/crc32.h"
#include "core/format/keyed_hash.h"
#include "core/format/layout.h"
#include "core/internal_failure.h"
#include "core/io/exclusive_file.h"
#include "core/io/file.h"
#include "core/io/scratch_file.h"
#include "core/writer/deferred_payloads.h"
#include "core/writer/file_sink.h"
#include "core/writer/key_map.h"
#include "core/writer/key_runs.h"
#include "core/writer/object_list.h"
#include "core/writer/payload_index.h"
#include "core/writer/spool.h"
#include "core/writer/temporary_file.h"
#include "core/writer/whole_store.h"

namespace kalvex::writer {

struct Writer::State {
  // With a memory budget the records go to a spool: the destination's temporary file as
  // soon as a chunk of them is full, or with no destination an anonymous file once they
  // outgrow the budget. Without one, everything stays in memory until the build.
  explicit State(const WriterOptions& options) {
    if (options.memory_limit == 0) return;
    spool = std::make_unique<Spool>(options.destination);
    objects.SpoolTo(spool.get(), options.destination.empty() ? options.memory_limit : 0);
  }

  std::unique_ptr<Spool> spool;  // declared before the list that writes into it
  ObjectList objects;
  KeyMap keys;
  std::unique_ptr<PayloadIndex> payloads;  // made by the first AddObjectUnique
  std::unique_ptr<DeferredPayloads> deferred;  // beside it, under a budget
  // The aliases among the objects as of objects.size() == aliases_at (null: none).
  std::shared_ptr<const ObjectAliases> aliases;
  std::uint64_t aliases_at = ~std::uint64_t{0};
  // AddKey calls that succeeded. A plan reads the entries again at its commit (see
  // KeyOrder), and remapping a key changes what it reads while every count stays.
  std::uint64_t key_edits = 0;
  // The keys spilled out of `keys` under a memory budget, and their count with the map's
  // as of key_edits == counted_at (a count reads the runs).
  KeyRuns runs;
  std::uint64_t counted_keys = 0;
  std::uint64_t counted_at = ~std::uint64_t{0};
};

namespace {

// The payload index's share of a memory budget: 1/kPayloadShareDivisor. At 40M distinct
// payloads the index would be half a GiB; past its share the repeats are found at build.
// Never below kMinPayloadShare: the index of a few thousand payloads costs what the buffer
// of the deferred records does, and a build that must find repeats cannot finish the
// spool's file in place.
constexpr std::uint64_t kPayloadShareDivisor = 8;
constexpr std::uint64_t kMinPayloadShare = std::uint64_t{64} << 10;
// The build's sort of the deferred payloads' records: 1/kDeferredSortDivisor of the budget,
// taken while the lookups are released and before the build's own buffers.
constexpr std::uint64_t kDeferredSortDivisor = 4;

// A file no larger than this goes out in one write call, from one buffer.
constexpr std::size_t kSmallFileSize = 8192;
// Staging for the index section of a larger file: enough that write calls are few, small
// next to the sections themselves, and a multiple of 2 MiB (see file_sink.h).
constexpr std::size_t kStagingSize = std::size_t{4} << 20;

// Collects bytes in a fixed buffer and folds each full buffer into a running CRC-32:
// the CRC engine runs on long inputs instead of on every few-byte field. With a
// SectionSeed, each buffer extends it too (its blocks are the seed's blocks).
class CrcBatcher {
 public:
  explicit CrcBatcher(std::uint32_t crc, format::SectionSeed* seed = nullptr) : crc_(crc), seed_(seed) {}

  bool Append(const std::uint8_t* data, std::size_t n) {
    length_ += n;
    while (n > 0) {
      const std::size_t take = std::min(n, sizeof buffer_ - used_);
      std::memcpy(buffer_ + used_, data, take);
      used_ += take;
      data += take;
      n -= take;
      if (used_ == sizeof buffer_) Fold();
    }
    return true;
  }

  std::uint32_t Finish() {
    Fold();
    return crc_;
  }
  std::uint64_t length() const { return length_; }

 private:
  void Fold() {
    crc_ = crc32::Extend(crc_, buffer_, used_);
    if (seed_ != nullptr && used_ != 0) seed_->Extend(buffer_, used_);
    used_ = 0;
  }

  std::uint32_t crc_;
  format::SectionSeed* seed_;
  std::uint64_t length_ = 0;
  std::size_t used_ = 0;
  std::uint8_t buffer_[format::SectionSeed::kBlockSize];
};

// Emits the index section, one entry per item, in the items' order, and counts them. Stops
// at the first failed piece (the sink keeps its failure); fails when the items cannot be read.
template <class Out>
Result<std::uint64_t> EncodeIndex(const IndexItems& items, Out& out) {
  std::uint64_t count = 0;
  Status read = items.ForEach([&](const IndexItem& item) {
    ++count;
    return format::EncodeIndexEntry(out, item.key(), item.length(), item.object_offset());
  });
  if (!read.ok()) return read.take_error();
  return count;
}

// The mapped index over the index section of the `count` items, whose CRC-32 is
// `index_crc` and whose bytes gave `seed` (format::SectionSeed), as the record at
// `record_offset`; nullopt when the store is past what the index can address. A second
// pass over the keys: the seed is known only once the whole section has gone by. Under
// `options`' budget the slot table may go through scratch files beside the destination.
Result<std::optional<IndexObject>> BuildMappedIndex(const IndexItems& items, std::uint64_t count, const HashSeed& seed,
                                                    std::uint64_t record_offset, std::uint32_t index_crc,
                                                    const WriterOptions& options) {
  IndexObject::Builder builder(count, seed, options.memory_limit,
                               options.destination.empty() ? std::string() : io::DirectoryOf(options.destination));
  Status read = items.ForEach([&](const IndexItem& item) {
    builder.Add(item.key(), item.length());
    return true;
  });
  if (!read.ok()) return read.take_error();
  return builder.Finish(record_offset, index_crc);
}

StoreError TooMany(std::uint64_t count, const char* what, std::uint64_t maximum) {
  return StoreError::Invalid(std::to_string(count) + " " + what + " exceeds format maximum of " +
                             std::to_string(maximum));
}

StoreError TooLong(const char* what, std::uint64_t length, std::uint64_t maximum) {
  return StoreError::Invalid(std::string(what) + " is " + std::to_string(length) +
                             " bytes, format maximum is " + std::to_string(maximum));
}

// Appends to a file and to the running CRC-32 of what it holds past the header.
struct CheckedOut {
  FileSink& sink;
  CrcBatcher& crc;
  std::optional<StoreError> failure = {};  // of reading what AppendCopy copies
  bool Append(const std::uint8_t* data, std::size_t n) {
    crc.Append(data, n);
    return sink.Append(data, n);
  }
  // Bytes of another file (a mapped index's spilled slots), read back through a buffer so
  // that they pass the CRC as any others.
  bool AppendCopy(int from, std::uint64_t offset, std::uint64_t length) {
    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(length, kStagingSize));
    while (length > 0 && !failure) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
      if (const auto failed = io::ReadAllAt(from, buffer.data(), n, offset)) {
        failure = StoreError::IO(*failed != 0 ? OsErrorText(*failed) : "index scratch file: unexpected end", *failed);
        return false;
      }
      Append(buffer.data(), n);
      offset += n;
      length -= n;
    }
    return !failure;
  }
};

}  // namespace

Writer::Writer() : Writer(WriterOptions{}) {}
Writer::Writer(WriterOptions options) : options_(std::move(options)), state_(std::make_unique<State>(options_)) {}
Writer::~Writer() = default;

void Writer::Discard() noexcept {
  // The temporary file goes first, whatever follows: a writer that cannot get memory for
  // an empty state keeps its old one rather than none, and a spool that writes again
  // takes a new file.
  if (state_->spool) state_->spool->Release();
  try {
    auto fresh = std::make_unique<State>(options_);
    state_ = std::move(fresh);
  } catch (const std::bad_alloc&) {
  }
}

std::uint64_t Writer::AddObject(std::span<const std::uint8_t> payload) {
  return state_->objects.Add(payload);
}

std::uint64_t Writer::AddObjectUnique(std::span<const std::uint8_t> payload) {
  State& state = *state_;
  if (!state.payloads) MakePayloadIndex();
  return AddObjectUnique(payload, state.payloads->Hash(payload));
}

std::uint64_t Writer::AddObjectUnique(std::span<const std::uint8_t> payload, std::uint64_t hash) {
  State& state = *state_;
  PayloadIndex& index = *state.payloads;
  // Before the object: a failure changes nothing. Before Find too: a build released the
  // index, which this fills again.
  const bool indexed = index.Reserve(hash, state.objects.size(), state.objects);
  if (const auto found = index.Find(payload, hash, state.objects)) return *found;
  if (!indexed) state.deferred->Reserve();
  const std::uint64_t obj_id = state.objects.Add(payload);
  if (!state.objects.first_oversized()) {  // its payload was kept
    if (indexed) {
      index.Insert(hash, obj_id);
    } else {
      state.deferred->Append(hash, obj_id);
    }
  }
  return obj_id;
}

void Writer::MakePayloadIndex() {
  State& state = *state_;
  if (options_.memory_limit == 0) {
    state.payloads = std::make_unique<PayloadIndex>();
    return;
  }
  auto deferred = std::make_unique<DeferredPayloads>(
      options_.destination.empty() ? std::string() : io::DirectoryOf(options_.destination));
  const std::uint64_t share = std::max(kMinPayloadShare, options_.memory_limit / kPayloadShareDivisor);
  state.payloads = std::make_unique<PayloadIndex>(share);
  state.deferred = std::move(deferred);
}

Result<std::shared_ptr<const ObjectAliases>> Writer::Aliases() const {
  State& state = *state_;
  if (!state.deferred || state.deferred->count() < 2) return std::shared_ptr<const ObjectAliases>();
  if (state.aliases_at != state.objects.size()) {
    Result<ObjectAliases> found = state.deferred->Resolve(state.objects, options_.memory_limit / kDeferredSortDivisor);
    if (!found.ok()) return found.take_error();
    state.aliases.reset();
    if (!found.value().empty()) state.aliases = std::make_shared<const ObjectAliases>(std::move(found).value());
    state.aliases_at = state.objects.size();
  }
  return state.aliases;
}

Result<std::vector<std::uint8_t>> Writer::Written(bool drop_unreferenced, const ObjectAliases* aliases) const {
  std::vector<std::uint8_t> written;
  if (drop_unreferenced) {
    Result<std::vector<std::uint8_t>> reached =
        IndexItems::Reached(state_->keys, state_->runs, state_->objects.size(), MergeBufferBytes());
    if (!reached.ok()) return reached.take_error();
    written = std::move(reached).value();
  } else {
    written.assign(state_->objects.size(), 1);
  }
  // A key reaching an alias reaches its original.
  if (aliases != nullptr) aliases->Fold(written);
  return written;
}

Status Writer::AddPairs(bool unique, std::size_t count, Concatenated payloads, Concatenated keys,
                        std::size_t* added) {
  *added = 0;
  // A batch that could carry the keys past what the format counts (were every key new) is
  // refused whole, before anything is stored: then a failed batch never leaves part of
  // itself behind, and its caller can add the pairs one at a time, up to the exact limit.
  std::uint64_t bound = state_->keys.size_bound() + state_->runs.records();
  const auto past_limit = [&] { return KeyMap::kMaxEntries - std::min<std::uint64_t>(bound, KeyMap::kMaxEntries) < count; };
  if (past_limit() && !state_->runs.empty()) {  // a key in several runs counts once
    Result<std::uint64_t> counted = num_keys();
    if (!counted.ok()) return counted.take_error();
    bound = counted.value();
  }
  if (past_limit()) {
    Result<std::uint64_t> counted = num_keys();
    if (!counted.ok()) return counted.take_error();
    return TooMany(counted.value() + count, "keys", format::kMaxKeys);
  }
  if (unique && !state_->payloads) MakePayloadIndex();
  // With a million objects the payload index is far larger than the CPU caches, so each
  // unique add waits on memory twice: for its home slot, then, for a payload seen before
  // (the one case the index is for), for the stored copy it is compared with, which may
  // lie anywhere in the data section. Both are asked for ahead: the slots of the next
  // group of pairs while this one is done, this group's stored copies just before.
  constexpr std::size_t kGroup = 16;
  constexpr std::size_t kRing = 2 * kGroup;  // hashes of this group and the next
  std::uint64_t hashes[kRing] = {};
  const auto ask_slots = [&](std::size_t begin) {
    for (std::size_t i = begin; i < std::min(count, begin + kGroup); ++i) {
      hashes[i % kRing] = state_->payloads->Hash(payloads[i]);
      state_->payloads->Prefetch(hashes[i % kRing]);
    }
  };
  if (unique) ask_slots(0);
  for (std::size_t begin = 0; begin < count; begin += kGroup) {
    const std::size_t end = std::min(count, begin + kGroup);
    if (unique) {
      ask_slots(begin + kGroup);
      for (std::size_t i = begin; i < end; ++i) state_->payloads->PrefetchMatch(hashes[i % kRing], state_->objects);
    }
    for (std::size_t i = begin; i < end; ++i) {
      // A spill that fails must fail before the pair's object is stored.
      if (options_.memory_limit != 0) {
        if (Status room = MakeKeyRoom(); !room.ok()) return room;
      }
      const std::uint64_t obj_id =
          unique ? AddObjectUnique(payloads[i], hashes[i % kRing]) : state_->objects.Add(payloads[i]);
      if (Status mapped = AddKey(keys[i], obj_id); !mapped.ok()) return mapped;
      *added = i + 1;
    }
  }
  return {};
}

Status Writer::CheckKey(std::span<const std::uint8_t> key) {
  if (key.size() > format::kMaxKeyLength) return TooLong("key", key.size(), format::kMaxKeyLength);
  return {};
}

Status Writer::AddKey(std::span<const std::uint8_t> key, std::uint64_t obj_id) {
  const std::uint64_t have = state_->objects.size();
  if (obj_id >= have) {
    return StoreError::Invalid("obj_id " + std::to_string(obj_id) + " out of range (have " +
                               std::to_string(have) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) return CheckKey(key);  // the common case stays inline
  // An object past the format's count could never be built, and the key map's entries
  // hold 32-bit IDs: the build's message, now.
  if (obj_id > KeyMap::kMaxObjectId) return TooMany(have, "objects", format::kMaxObjects);
  KeyMap& keys = state_->keys;
  // One key more than the format holds could never be built; refusing it here, with the
  // message Build would give, keeps the map within what its slots can index. The bound
  // spares the exact count (which places parked keys) on every call but the last few.
  if (keys.size_bound() + state_->runs.records() >= KeyMap::kMaxEntries) {
    Result<std::uint64_t> count = num_keys();
    if (!count.ok()) return count.take_error();
    if (count.value() >= KeyMap::kMaxEntries) {
      Result<bool> present = ContainsKey(key);
      if (!present.ok()) return present.take_error();
      if (!present.value()) return TooMany(count.value() + 1, "keys", format::kMaxKeys);
    }
  }
  if (options_.memory_limit != 0) {
    if (Status room = MakeKeyRoom(); !room.ok()) return room;
  }
  keys.Put(key, obj_id);
  ++state_->key_edits;
  return {};
}

std::uint64_t Writer::num_objects() const { return state_->objects.size(); }
Result<std::uint64_t> Writer::num_keys() const {
  State& state = *state_;
  if (state.runs.empty()) return state.keys.size();
  if (state.counted_at != state.key_edits) {
    Result<std::uint64_t> counted = RunMerge::Count(state.runs, state.keys, MergeBufferBytes());
    if (!counted.ok()) return counted.take_error();
    state.counted_keys = counted.value();
    state.counted_at = state.key_edits;
  }
  return state.counted_keys;
}

Result<bool> Writer::ContainsKey(std::span<const std::uint8_t> key) const {
  if (state_->keys.Contains(key)) return true;
  return state_->runs.Contains(key);
}

Status Writer::MakeKeyRoom() {
  State& state = *state_;
  // The objects' offsets are the other table that grows with every add.
  std::uint64_t other_bytes = state.objects.offsets().memory_usage();
  if (state.payloads) other_bytes += state.payloads->memory_usage();
  if (state.deferred) other_bytes += state.deferred->memory_usage();
  if (!state.runs.MustSpill(state.keys, options_.memory_limit, other_bytes)) return {};
  // Beside the destination, on the disk the build writes to, when it is known.
  const std::string directory = options_.destination.empty() ? std::string() : io::DirectoryOf(options_.destination);
  return state.runs.Spill(state.keys, directory);
}

void Writer::ReleaseLookups() const {
  state_->keys.ReleaseTable();
  if (state_->payloads) state_->payloads->Release();
}

std::size_t Writer::MergeBufferBytes() const {
  // An eighth of the budget for the merge's buffers: the keys' share is free by then.
  return KeyRuns::BufferBytes(options_.memory_limit / 8, state_->runs.runs().size() + 1);
}

Result<BuildPlan> Writer::Plan(const BuildOptions& options) const {
  const ObjectList& objects = state_->objects;
  KeyMap& keys = state_->keys;  // reading it may place keys that adding parked

  if (objects.size() > format::kMaxObjects) {
    return TooMany(objects.size(), "objects", format::kMaxObjects);
  }
  // Spilled keys are counted by AddKey's check alone: counting them here would read them.
  if (keys.size() > format::kMaxKeys) {
    return TooMany(keys.size(), "keys", format::kMaxKeys);
  }
  if (const auto& oversized = objects.first_oversized()) {
    return TooLong("object", oversized->length, format::kMaxPayloadLength);
  }
  if (Status failed = objects.failure(); !failed.ok()) return failed.take_error();
  if (options.compression.enabled) {
    throw InternalFailure("a compressed build streams its data section and has no plan (see Build)");
  }

  // The data section already exists (the object list's chunks), once the payload CRCs of
  // the records added since the last build are in; its CRC is one pass over the chunks. The index section is produced twice from the sorted keys, once here for its length
  // and CRC, which the header needs first, and once more by the commit. Encoding twice
  // is cheaper than holding the whole section in memory.
  if (objects.data_length() > IndexItem::kMaxObjectOffset) {
    throw InternalFailure("data section beyond the offsets a sort item holds");
  }
  state_->objects.FinishRecords();
  ReleaseLookups();
  BuildPlan plan;
  plan.writer_state_ = state_.get();
  plan.key_edits_ = state_->key_edits;
  plan.object_count_ = objects.size();
  Result<std::shared_ptr<const ObjectAliases>> aliases = Aliases();
  if (!aliases.ok()) return aliases.take_error();
  plan.aliases_ = std::move(aliases).value();
  if (options.drop_unreferenced || plan.aliases_) {
    Result<std::vector<std::uint8_t>> written = Written(options.drop_unreferenced, plan.aliases_.get());
    if (!written.ok()) return written.take_error();
    plan.kept_ = KeptObjects::Find(written.value(), objects);
  }
  const KeptObjects* kept = plan.kept_.get();
  plan.items_ = IndexItems(keys, state_->runs, kept != nullptr ? kept->offsets() : objects.offsets(), MergeBufferBytes(),
                           plan.aliases_.get());
  const std::uint64_t num_objects = kept != nullptr ? kept->count() : objects.size();
  const std::uint64_t data_end = format::kDataOffset + (kept != nullptr ? kept->data_length() : objects.data_length());
  // The index object is one more record: a count at the format's maximum leaves no room.
  const bool with_index = options.mapped_index && num_objects < format::kMaxObjects;
  // The index section's CRC is taken apart and combined with the data section's, so that
  // the mapped index, which lies between them, can be added once the section is known:
  // its hash seed is a function of the section (format::SectionSeed), so the keys are
  // hashed in a second pass over them, which asks for keys ahead as the first does.
  format::SectionSeed section_seed;
  auto crc = std::make_unique<CrcBatcher>(0, with_index ? &section_seed : nullptr);
  Result<std::uint64_t> key_count = EncodeIndex(plan.items_, *crc);
  if (!key_count.ok()) return key_count.take_error();
  if (plan.items_.merged()) {  // the count the commit checks, without reading the runs again
    state_->counted_keys = key_count.value();
    state_->counted_at = state_->key_edits;
  }
  const std::uint64_t index_length = crc->length();
  const std::uint32_t index_crc = crc->Finish();
  std::uint32_t data_crc = kept != nullptr ? kept->DataCrc(objects) : objects.DataCrc();
  if (Status failed = objects.failure(); !failed.ok()) return failed.take_error();  // a kept run unread
  if (with_index) {
    auto index = BuildMappedIndex(plan.items_, key_count.value(), section_seed.Finish(), data_end, index_crc, options_);
    if (!index.ok()) return index.take_error();
    plan.index_object_ = std::move(index).value();
    if (plan.index_object_) data_crc = plan.index_object_->ExtendCrc(data_crc);
  }

  format::Header header;
  header.num_keys = static_cast<std::uint32_t>(key_count.value());
  header.num_objects = static_cast<std::uint32_t>(num_objects);
  header.index_offset = data_end;
  if (plan.index_object_) {
    header.features |= format::kFeatureMappedIndex;
    header.num_objects += 1;
    header.index_offset = plan.index_object_->index_offset();
    plan.report_.index_size = plan.index_object_->record_size();
  }
  header.file_crc32 = crc32::Combine(data_crc, index_crc, index_length);
  header.EncodeTo(plan.header_.data());

  plan.report_.num_objects = num_objects;
  plan.report_.num_keys = key_count.value();
  plan.report_.file_size = header.index_offset + index_length;
  return plan;
}

Result<BuildReport> Writer::Commit(const BuildPlan& plan, std::string_view path) const {
  const ObjectList& objects = state_->objects;
  if (plan.writer_state_ != state_.get() || plan.object_count_ != objects.size() ||
      plan.key_edits_ != state_->key_edits) {
    throw InternalFailure("build plan committed by another writer or after a change");
  }
  // Counted once per change of the keys: the plan's count, unless a run cannot be read now.
  Result<std::uint64_t> key_count = num_keys();
  if (!key_count.ok()) return key_count.take_error();
  if (plan.report_.num_keys != key_count.value()) {
    throw InternalFailure("build plan committed by another writer or after a change");
  }
  Spool* spool = state_->spool.get();
  bool took_spools_path = false;
  if (spool != nullptr) {
    // The records already lie in the destination's temporary file, where this file puts
    // them: the build finishes that file. Any other build writes a file of its own, which
    // may need the spool's path.
    if (spool->HoldsTemporaryOf(path)) {
      if (plan.kept_ == nullptr && objects.spooled() > 0) return CommitInPlace(plan, path);
      spool->Detach();
      took_spools_path = true;
    }
  }
  // A small file is assembled whole in the staging buffer and leaves in one write call;
  // a larger one passes the object list's chunks to the file as they are, and its
  // spooled records from file to file. The buffer comes before the file, so running out
  // of memory leaves no temporary file behind.
  const bool small = plan.report_.file_size <= kSmallFileSize;
  FileSink sink(-1, small ? kSmallFileSize : kStagingSize);
  Result<TemporaryFile> opened = OpenTemporary(path);
  if (!opened.ok()) return opened.take_error();
  sink.set_fd(opened.value().fd.get());
  Result<BuildReport> written = CommitCopy(plan, sink, opened.value());
  // The file took the place of the spool's, which the writer would have removed had it
  // been given up: so is this one when it fails to become the destination.
  if (!written.ok() && took_spools_path) Unlink(opened.value());
  return written;
}

Result<BuildReport> Writer::CommitCopy(const BuildPlan& plan, FileSink& sink, TemporaryFile& file) const {
  const ObjectList& objects = state_->objects;
  const bool small = plan.report_.file_size <= kSmallFileSize;

  // From here on a failure leaves the temporary file behind; only the rename touches
  // the destination, so the destination is never damaged.
  sink.Append(plan.header_.data(), plan.header_.size());
  const auto write_data = [&](std::span<const std::uint8_t> bytes) {
    if (small) {
      sink.Append(bytes.data(), bytes.size());
    } else {
      sink.AppendReference(bytes);
    }
  };
  // The stream's bytes [begin, begin + length): the spooled part copied from the spool,
  // the rest from the chunks that hold it.
  const auto write_stream = [&](std::uint64_t begin, std::uint64_t length) {
    if (begin < objects.spooled()) {
      const std::uint64_t in_file = std::min(length, objects.spooled() - begin);
      sink.AppendCopy(objects.spool_fd(), format::kDataOffset + begin, in_file);
      begin += in_file;
      length -= in_file;
    }
    for (std::size_t i = 0; i < objects.chunk_count() && length > 0; ++i) {
      const std::span<const std::uint8_t> chunk = objects.chunk(i);
      const std::uint64_t chunk_begin = objects.chunk_start(i);
      if (begin >= chunk_begin + chunk.size()) continue;
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, chunk_begin + chunk.size() - begin));
      write_data(chunk.subspan(static_cast<std::size_t>(begin - chunk_begin), n));
      begin += n;
      length -= n;
    }
  };
  if (plan.kept_ != nullptr) {
    for (const KeptObjects::Run& run : plan.kept_->runs()) write_stream(run.begin, run.length);
  } else {
    write_stream(0, objects.data_length());
  }
  if (plan.index_object_) plan.index_object_->AppendTo(sink, !small);
  Result<std::uint64_t> encoded = EncodeIndex(plan.items_, sink);
  if (!encoded.ok()) return encoded.take_error();
  if (Status written = sink.Finish(); !written.ok()) return written.take_error().WithPath(file.path);
  if (Status published = Publish(file); !published.ok()) return published.take_error();
  return plan.report_;
}

Result<BuildReport> Writer::CommitInPlace(const BuildPlan& plan, std::string_view path) const {
  ObjectList& objects = state_->objects;
  Spool& spool = *state_->spool;
  if (Status checked = CheckDestination(path); !checked.ok()) return checked.take_error();
  if (Status spooled = objects.SpoolAll(); !spooled.ok()) return spooled.take_error();
  TemporaryFile& file = spool.TemporaryFor(path);
  const int fd = file.fd.get();
  const std::uint64_t data_end = format::kDataOffset + objects.data_length();
  const auto failed = [&](int errnum) {
    return StoreError::IO(OsErrorText(errnum), errnum).WithPath(file.path);
  };
  // What an earlier build that failed here wrote after the records goes first.
  if (::ftruncate(fd, static_cast<off_t>(data_end)) < 0) return failed(errno);
  if (::lseek(fd, static_cast<off_t>(data_end), SEEK_SET) < 0) return failed(errno);
  FileSink sink(fd, kStagingSize);
  sink.set_start(data_end);
  if (plan.index_object_) plan.index_object_->AppendTo(sink, true);
  if (Result<std::uint64_t> encoded = EncodeIndex(plan.items_, sink); !encoded.ok()) return encoded.take_error();
  if (Status written = sink.Finish(); !written.ok()) return written.take_error().WithPath(file.path);
  if (const auto failure = io::WriteAllAt(fd, plan.header_.data(), plan.header_.size(), 0)) {
    return StoreError::IO(failure->errnum != 0 ? OsErrorText(failure->errnum) : "failed to write the header",
                          failure->errnum)
        .WithPath(file.path);
  }
  Status published = Publish(file);
  // Published, the file is the destination's: the writer only reads it from now on, and
  // copies its records into a new spool if it is grown. So too when the path lost it.
  if (published.ok() || !StillNamesHeld(file)) spool.Detached();
  if (!published.ok()) return published.take_error();
  return plan.report_;
}

Result<std::vector<std::uint8_t>> Writer::TrainDictionary() const {
  if (const auto& oversized = state_->objects.first_oversized()) {
    return TooLong("object", oversized->length, format::kMaxPayloadLength);
  }
  // Aliases name their objects in 32 bits, as the format counts them.
  if (state_->objects.size() > format::kMaxObjects) {
    return TooMany(state_->objects.size(), "objects", format::kMaxObjects);
  }
  Result<std::shared_ptr<const ObjectAliases>> aliases = Aliases();
  if (!aliases.ok()) return aliases.take_error();
  std::vector<std::uint8_t> trained;
  if (const ObjectAliases* found = aliases.value().get()) {
    Result<std::vector<std::uint8_t>> written = Written(false, found);
    if (!written.ok()) return written.take_error();
    trained = writer::TrainDictionary(state_->objects, &written.value(), found);
  } else {
    trained = writer::TrainDictionary(state_->objects);
  }
  if (Status failed = state_->objects.failure(); !failed.ok()) return failed.take_error();
  return trained;
}

Result<BuildReport> Writer::BuildCompressed(std::string_view path, const BuildOptions& options) const {
  const ObjectList& objects = state_->objects;
  KeyMap& keys = state_->keys;  // reading it may place keys that adding parked
  // The tagged values, the dictionary's record and perhaps the mapped index's.
  const std::uint64_t records = objects.size() + 1 + (options.mapped_index ? 1 : 0);
  if (records > format::kMaxObjects) return TooMany(records, "objects", format::kMaxObjects);
  if (keys.size() > format::kMaxKeys) return TooMany(keys.size(), "keys", format::kMaxKeys);
  if (const auto& oversized = objects.first_oversized()) {
    return TooLong("object", oversized->length, format::kMaxPayloadLength);
  }
  if (Status failed = objects.failure(); !failed.ok()) return failed.take_error();
  ReleaseLookups();
  Result<std::shared_ptr<const ObjectAliases>> found_aliases = Aliases();
  if (!found_aliases.ok()) return found_aliases.take_error();
  const ObjectAliases* aliases = found_aliases.value().get();
  // With drop_unreferenced, the objects no key reaches are neither sampled nor written;
  // nor are aliases ever.
  std::optional<ValueCompressor::Keep> keep;
  std::uint64_t kept_count = objects.size();
  if (options.drop_unreferenced || aliases != nullptr) {
    Result<std::vector<std::uint8_t>> written = Written(options.drop_unreferenced, aliases);
    if (!written.ok()) return written.take_error();
    keep.emplace(std::move(written).value());
    kept_count = 0;
    for (const std::uint8_t kept : *keep) kept_count += kept;
  }
  const ValueCompressor::Keep* kept = keep ? &*keep : nullptr;
  // The build writes a file of its own; the spool's records are read from its descriptor.
  if (state_->spool && state_->spool->HoldsTemporaryOf(path)) state_->spool->Detach();
  Result<ValueCompressor> made = ValueCompressor::Make(objects, kept, options.compression, aliases);
  if (!made.ok()) return made.take_error();
  if (Status failed = objects.failure(); !failed.ok()) return failed.take_error();  // a sample unread
  ValueCompressor& compressor = made.value();
  FileSink sink(-1, kStagingSize);
  auto data_crc = std::make_unique<CrcBatcher>(0);
  Result<TemporaryFile> opened = OpenTemporary(path);
  if (!opened.ok()) return opened.take_error();
  TemporaryFile& file = opened.value();
  sink.set_fd(file.fd.get());

  // The header's fields are known once everything after it is: a placeholder goes first
  // and the header over it last. From here on a failure leaves the temporary file behind
  // and the destination as it was.
  const std::array<std::uint8_t, format::kHeaderSize> placeholder{};
  sink.Append(placeholder.data(), placeholder.size());
  CheckedOut out{sink, *data_crc};
  // Each written object's file offset by object id (a left-out object's is meaningless, unread).
  ObjectOffsets offsets;
  std::uint64_t end = format::kDataOffset;
  std::optional<std::uint64_t> too_long;
  const auto append_record = [&](std::span<const std::uint8_t> payload) {
    if (payload.size() > format::kMaxPayloadLength) {
      too_long = payload.size();  // a value kept raw at the format's limit, plus its tag
      return false;
    }
    std::uint8_t head[format::kRecordHeadSize];
    format::EncodeRecordHead(head, static_cast<std::uint32_t>(payload.size()), crc32::Value(payload.data(), payload.size()));
    out.Append(head, sizeof head);
    out.Append(payload.data(), payload.size());
    end += sizeof head + payload.size();
    return true;
  };
  Status compressed = compressor.CompressAll(objects, kept, [&](std::uint64_t id, std::span<const std::uint8_t> value) {
    offsets.Set(id, end);
    return append_record(value);
  });
  if (!compressed.ok()) return compressed.take_error();
  if (too_long) return TooLong("compressed object", *too_long, format::kMaxPayloadLength);
  if (objects.size() > offsets.size()) offsets.Set(objects.size() - 1, end);  // left out at the end
  const std::vector<std::uint8_t> dictionary = compressor.DictionaryRecord();
  append_record(dictionary);
  if (end - format::kDataOffset > IndexItem::kMaxObjectOffset) {
    throw InternalFailure("data section beyond the offsets a sort item holds");
  }

  // The index section, as Plan and Commit make it: once for its length, its CRC and the
  // mapped index, once into the file.
  const IndexItems items(keys, state_->runs, offsets, MergeBufferBytes(), aliases);
  const bool with_index = options.mapped_index;
  format::SectionSeed section_seed;
  auto index_crc = std::make_unique<CrcBatcher>(0, with_index ? &section_seed : nullptr);
  Result<std::uint64_t> key_count = EncodeIndex(items, *index_crc);
  if (!key_count.ok()) return key_count.take_error();
  const std::uint64_t index_length = index_crc->length();
  const std::uint32_t index_section_crc = index_crc->Finish();
  format::Header header;
  header.features = format::kFeatureCompressedValues;
  header.num_keys = static_cast<std::uint32_t>(key_count.value());
  header.num_objects = static_cast<std::uint32_t>(kept_count + 1);
  header.index_offset = end;
  BuildReport report;
  if (with_index) {
    auto built = BuildMappedIndex(items, key_count.value(), section_seed.Finish(), end, index_section_crc, options_);
    if (!built.ok()) return built.take_error();
    if (std::optional<IndexObject>& index = built.value()) {
      index->AppendTo(out, false);
      if (out.failure) return std::move(*out.failure).WithPath(file.path);
      header.features |= format::kFeatureMappedIndex;
      header.num_objects += 1;
      header.index_offset = index->index_offset();
      report.index_size = index->record_size();
    }
  }
  if (Result<std::uint64_t> encoded = EncodeIndex(items, sink); !encoded.ok()) return encoded.take_error();
  header.file_crc32 = crc32::Combine(data_crc->Finish(), index_section_crc, index_length);
  std::array<std::uint8_t, format::kHeaderSize> encoded{};
  header.EncodeTo(encoded.data());
  if (Status written = sink.Finish(); !written.ok()) return written.take_error().WithPath(file.path);
  if (const auto failure = io::WriteAllAt(file.fd.get(), encoded.data(), encoded.size(), 0)) {
    return StoreError::IO(failure->errnum != 0 ? OsErrorText(failure->errnum) : "failed to write the header",
                          failure->errnum)
        .WithPath(file.path);
  }
  if (Status published = Publish(file); !published.ok()) return published.take_error();
  report.num_objects = kept_count;
  report.num_keys = key_count.value();
  report.file_size = header.index_offset + index_length;
  report.dictionary_size = compressor.dictionary_size();
  return report;
}

Result<BuildReport> Writer::Build(std::string_view path, const BuildOptions& options) const {
  if (options.compression.enabled) return BuildCompressed(path, options);
  Result<BuildPlan> plan = Plan(options);
  if (!plan.ok()) return plan.take_error();
  return Commit(plan.value(), path);
}

}  // namespace kalvex::writer
