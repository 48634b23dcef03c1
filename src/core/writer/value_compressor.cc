#include "core/writer/value_compressor.h"

// The fast cover trainer, bare blocks and magicless frames are in the parts of zdict.h and
// zstd.h that ask for these. The trainer trains in a fraction of the default trainer's time
// (about a tenth on records of a few hundred bytes) for a dictionary that compresses as
// well; bare blocks save a value its frame (format/compression_layout.h). Later libzstd
// releases mark the block calls deprecated in favour of frames, which cost those bytes:
// they are kept, and only their warning is silenced.
#define ZDICT_STATIC_LINKING_ONLY
#define ZSTD_STATIC_LINKING_ONLY
#define ZSTD_DISABLE_DEPRECATE_WARNINGS
#include <zdict.h>
#include <zstd.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "core/format/compression_layout.h"
#include "core/format/layout.h"

namespace kalvex::writer {

namespace {

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeCDict {
  void operator()(ZSTD_CDict* d) const { ZSTD_freeCDict(d); }
};

// The dictionary's size follows the data: about 1/64 of the distinct values' bytes, so
// that it costs under 2% of what it compresses, up to 112 KiB, past which a larger one
// gained nothing measurable on records of a few hundred bytes (and its build and open
// cost grow with it). Below 256 bytes (values under 16 KiB in all) there is too little to
// learn from and the values are compressed without one.
constexpr std::size_t kDictionaryDivisor = 64;
constexpr std::size_t kMinDictionarySize = 256;
// The trainer is given 16 times the dictionary's size of samples, spread evenly over the
// values; each sample is at most a value's first 128 KiB. Measured on 100,000 real records
// (150 bytes each), 10, 30 and 100 times gave values at 0.415, 0.412 and 0.412 of their
// size, training in 0.1, 0.4 and 1.0 s: past about 16 the build pays for nothing.
constexpr std::size_t kSamplesPerDictionaryByte = 16;
constexpr std::size_t kMaxSampleSize = std::size_t{128} << 10;
// Fast cover's segment and d-mer sizes (the values its own optimiser settles near for
// records like these) and its fastest exact sampling. The frequency log sizes the
// trainer's two tables, 6 bytes an entry: 2^18 entries (1.5 MiB) compress the real
// records as well as 2^20 (6 MiB) did, within 1% either way, and a writer's peak memory
// is what it bounds.
constexpr unsigned kSegmentSize = 200;
constexpr unsigned kDmerSize = 8;
constexpr unsigned kFrequencyLog = 18;
constexpr unsigned kAcceleration = 1;

// Values are compressed by several threads, a batch at a time: each thread takes a run of
// the batch's objects into a buffer of its own, and the runs are emitted in object order.
// A run bounds what its buffer holds: 8192 values, fewer once they pass 512 KiB (the
// first value past it ends the run), so that a writer's peak memory gains little.
constexpr std::size_t kMaxThreads = 8;
constexpr std::size_t kObjectsPerRun = 8192;
constexpr std::uint64_t kRunInputBytes = std::uint64_t{512} << 10;

std::uint64_t ValueBytes(const ObjectList& objects) {
  return objects.data_length() - objects.size() * format::kRecordHeadSize;
}

// libzstd's memory comes straight from the system, a mapping per allocation, and goes
// back to it when freed. From the C heap, the prepared dictionary and the contexts (a few
// MiB) stayed resident after the build freed them, through the index's making, the part
// of the build that holds the most: the heap keeps what it held once, and after the
// trainer's large buffers it serves blocks of this size itself instead of mapping them.
// libzstd allocates a few large blocks per context, so a mapping each costs nothing.
constexpr std::size_t kMappedHead = 64;  // keeps libzstd's alignment; holds the length

void* MappedAllocate(void*, std::size_t size) {
  const std::size_t length = size + kMappedHead;
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  std::memcpy(mapped, &length, sizeof length);
  return static_cast<std::uint8_t*>(mapped) + kMappedHead;
}

void MappedFree(void*, void* address) {
  if (address == nullptr) return;
  std::uint8_t* mapped = static_cast<std::uint8_t*>(address) - kMappedHead;
  std::size_t length = 0;
  std::memcpy(&length, mapped, sizeof length);
  munmap(mapped, length);
}

constexpr ZSTD_customMem kMappedMemory{MappedAllocate, MappedFree, nullptr};

StoreError ZstdFailure(const char* what, std::size_t code) {
  return StoreError::Invalid(std::string(what) + ": " + ZSTD_getErrorName(code));
}

static_assert(format::kMaxBlockValue == ZSTD_BLOCKSIZE_MAX);

// Compresses a run of objects into stored values laid end to end in a buffer of its own.
// Run() may go on another thread; it records a failure instead of throwing.
struct RunCompressor {
  std::unique_ptr<ZSTD_CCtx, FreeCCtx> context;
  const ZSTD_CDict* dictionary = nullptr;
  int level = 0;
  std::size_t block_limit = 0;  // the longest value that goes in a bare block
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> ends;
  std::vector<std::uint64_t> ids;  // the object id of each value
  std::uint64_t original_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::uint64_t max_value_length = 0;
  std::size_t failure = 0;  // a libzstd error code, 0 for none
  bool unread = false;      // a spooled value could not be read back
  std::exception_ptr thrown;

  // `window_log`: the window of the dictionary's parameters, or of the level's without one.
  Status Prepare(const ZSTD_CDict* cdict, int compression_level, unsigned window_log) {
    dictionary = cdict;
    level = compression_level;
    context.reset(ZSTD_createCCtx_advanced(kMappedMemory));
    if (!context) throw std::bad_alloc();
    // A frame (a value longer than a block) records its content size, which is the
    // value's length; its magic number, the dictionary's id and a checksum would repeat
    // in every value what the file says once (the record's CRC covers the frame).
    std::size_t set = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_format, ZSTD_f_zstd1_magicless);
    if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
    if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0);
    if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_dictIDFlag, 0);
    if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(set) && dictionary != nullptr) set = ZSTD_CCtx_refCDict(context.get(), dictionary);
    if (ZSTD_isError(set)) return ZstdFailure("compression setup failed", set);
    // A block is at most what the window allows, and never past the format's bound.
    block_limit = std::min<std::size_t>(std::size_t{1} << window_log, format::kMaxBlockValue);
    // A run's stored values fit its input bytes, plus a head and libzstd's margin for
    // each: reserved once, where doubling would hold the old buffer and the new at once.
    bytes.reserve(ZSTD_compressBound(kRunInputBytes) + kObjectsPerRun * format::kMaxValueHeadSize);
    return {};
  }

  // Readies the context for one bare block of `size` bytes: the dictionary's tables, no
  // history. Told the size, the context sizes its own tables for the value, a few KiB,
  // where a context left to guess sized them for a whole window (a MiB per thread).
  std::size_t BeginBlock(std::size_t size) {
    if (dictionary == nullptr) return ZSTD_compressBegin(context.get(), level);
    constexpr ZSTD_frameParameters kNoFrame{0, 0, 1};
    return ZSTD_compressBegin_usingCDict_advanced(context.get(), dictionary, kNoFrame, size);
  }

  void Run(const ObjectList& objects, const std::vector<std::uint8_t>* keep, std::uint64_t first,
           std::uint64_t last) {
    try {
      // Each thread reads spooled payloads into a scratch buffer of its own.
      ObjectList::Scratch scratch;
      for (std::uint64_t id = first; id < last && failure == 0 && !unread; ++id) {
        if (keep != nullptr && !(*keep)[id]) continue;
        const auto value = objects.Payload(id, scratch);
        if (!value) {
          unread = true;  // the list keeps the error; CompressAll reports it
          break;
        }
        Add(id, *value);
      }
    } catch (...) {
      thrown = std::current_exception();
    }
  }

  void Add(std::uint64_t id, std::span<const std::uint8_t> value) {
    const std::size_t start = bytes.size();
    const std::size_t bound = ZSTD_compressBound(value.size());
    bytes.resize(start + format::kMaxValueHeadSize + std::max(bound, value.size()));
    std::uint8_t* out = bytes.data() + start;
    bool block = !value.empty() && value.size() <= block_limit;
    std::size_t body = 0;
    if (block) {
      body = BeginBlock(value.size());
      if (ZSTD_isError(body)) {
        failure = body;
        return;
      }
      // The window libzstd chose for the value holds it (it is never smaller than the
      // value); were it not, a frame would still hold the value.
      block = value.size() <= ZSTD_getBlockSize(context.get());
    }
    std::size_t head = format::EncodeValueHead(block ? format::StoredKind::kBlock : format::StoredKind::kFrame,
                                               static_cast<std::uint32_t>(block ? value.size() : 0), out);
    if (block) {
      // 0: libzstd found the block not worth compressing (kept raw below).
      body = ZSTD_compressBlock(context.get(), out + head, bound, value.data(), value.size());
    } else {
      body = ZSTD_compress2(context.get(), out + head, bound, value.data(), value.size());
    }
    if (ZSTD_isError(body)) {
      failure = body;
      return;
    }
    // A value that compressing does not shrink (a raw head is one byte) is kept as it is.
    if (body == 0 || head + body > value.size()) {
      head = format::EncodeValueHead(format::StoredKind::kRaw, 0, out);
      if (!value.empty()) std::memcpy(out + head, value.data(), value.size());
      body = value.size();
    }
    bytes.resize(start + head + body);
    ends.push_back(bytes.size());
    ids.push_back(id);
    original_bytes += value.size();
    stored_bytes += head + body;
    max_value_length = std::max<std::uint64_t>(max_value_length, value.size());
  }

  Status Finish() {
    if (thrown) std::rethrow_exception(thrown);
    if (failure != 0) return ZstdFailure("compression failed", failure);
    return {};
  }

  // Hands each value to emit in order; false when emit refused one.
  bool Emit(const ValueCompressor::Emit& emit) const {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (!emit(ids[i], {bytes.data() + begin, ends[i] - begin})) return false;
      begin = ends[i];
    }
    return true;
  }

  void Clear() {
    bytes.clear();
    ends.clear();
    ids.clear();
    original_bytes = stored_bytes = max_value_length = 0;
  }
};

}  // namespace

std::vector<std::uint8_t> TrainDictionary(const ObjectList& objects, const std::vector<std::uint8_t>* keep,
                                          const ObjectAliases* aliases) {
  const std::uint64_t n = objects.size();
  std::uint64_t total = ValueBytes(objects);
  if (keep != nullptr) {
    total = 0;
    for (std::uint64_t id = 0; id < n; ++id) total += (*keep)[id] ? objects.record_length(id) - format::kRecordHeadSize : 0;
  }
  const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(total / kDictionaryDivisor, kMaxDictionarySize));
  if (n == 0 || capacity < kMinDictionarySize) return {};
  const std::uint64_t budget = std::uint64_t{capacity} * kSamplesPerDictionaryByte;
  // Every stride-th value: the whole store's variety, not its first values'.
  const std::uint64_t stride = std::max<std::uint64_t>(1, total / budget);
  std::vector<std::uint8_t> samples;
  std::vector<std::size_t> sizes;
  samples.reserve(static_cast<std::size_t>(std::min(total, budget + kMaxSampleSize)));
  // Strides count the objects a writer without a budget would hold: aliases are skipped.
  const bool skip_aliases = aliases != nullptr && !aliases->empty();
  for (std::uint64_t id = 0, position = 0; id < n && samples.size() < budget; id += skip_aliases ? 1 : stride) {
    if (skip_aliases && (aliases->IsAlias(id) || position++ % stride != 0)) continue;
    if (keep != nullptr && !(*keep)[id]) continue;
    // A value that cannot be read back is no sample (the build reports the failure).
    const std::span<const std::uint8_t> value = objects.Payload(id).value_or(std::span<const std::uint8_t>{});
    const std::size_t take = std::min(value.size(), kMaxSampleSize);
    if (take == 0) continue;
    samples.insert(samples.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(take));
    sizes.push_back(take);
  }
  if (sizes.empty()) return {};
  std::vector<std::uint8_t> dictionary(capacity);
  ZDICT_fastCover_params_t params{};
  params.k = kSegmentSize;
  params.d = kDmerSize;
  params.f = kFrequencyLog;
  params.accel = kAcceleration;
  params.zParams.compressionLevel = ZSTD_CLEVEL_DEFAULT;
  const std::size_t made = ZDICT_trainFromBuffer_fastCover(dictionary.data(), capacity, samples.data(), sizes.data(),
                                                           static_cast<unsigned>(sizes.size()), params);
  // Too few or too uniform samples: the values go without a dictionary.
  if (ZDICT_isError(made)) return {};
  dictionary.resize(made);
  return dictionary;
}

struct ValueCompressor::State {
  std::vector<std::uint8_t> dictionary;
  std::unique_ptr<ZSTD_CDict, FreeCDict> cdict;
  std::vector<RunCompressor> runs;  // one per thread
  std::uint64_t original_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::uint64_t max_value_length = 0;
};

ValueCompressor::ValueCompressor(std::unique_ptr<State> state) : state_(std::move(state)) {}
ValueCompressor::ValueCompressor(ValueCompressor&&) noexcept = default;
ValueCompressor& ValueCompressor::operator=(ValueCompressor&&) noexcept = default;
ValueCompressor::~ValueCompressor() = default;

std::uint64_t ValueCompressor::dictionary_size() const { return state_->dictionary.size(); }

Result<ValueCompressor> ValueCompressor::Make(const ObjectList& objects, const Keep* keep,
                                              const CompressionOptions& options, const ObjectAliases* aliases) {
  if (options.level < ZSTD_minCLevel() || options.level > ZSTD_maxCLevel() || options.level == 0) {
    return StoreError::Invalid("compression level " + std::to_string(options.level) + " is outside " +
                               std::to_string(ZSTD_minCLevel()) + " .. " + std::to_string(ZSTD_maxCLevel()));
  }
  auto state = std::make_unique<State>();
  if (options.dictionary_given) {
    state->dictionary = options.dictionary;
  } else {
    state->dictionary = TrainDictionary(objects, keep, aliases);
#if defined(__GLIBC__)
    // The trainer's last step compresses its samples with contexts of its own, a few MiB
    // taken from the C heap and freed: given back now, they would otherwise stay
    // resident through the whole build.
    malloc_trim(0);
#endif
  }
  const std::vector<std::uint8_t>& dictionary = state->dictionary;
  if (dictionary.size() > format::kMaxPayloadLength - format::kDictionaryTrailerSize) {
    return StoreError::Invalid("dictionary of " + std::to_string(dictionary.size()) + " bytes is too large");
  }
  // The level's parameters as libzstd picks them. Tables sized to the dictionary (2^17
  // entries for 112 KiB, where level 3 gives 2^16 and 2^15) made the real records' file
  // 0.5% smaller for 40% more compression time on records of 1 KB, and a binary-tree
  // search (0.489 of the plain file where level 3 gives 0.508) four to seven times the
  // time: the level is the caller's choice of that trade.
  const ZSTD_compressionParameters params =
      ZSTD_getCParams(options.level, ZSTD_CONTENTSIZE_UNKNOWN, dictionary.size());
  if (!dictionary.empty()) {
    // By reference: the state keeps the dictionary for as long as the prepared one.
    state->cdict.reset(ZSTD_createCDict_advanced(dictionary.data(), dictionary.size(), ZSTD_dlm_byRef, ZSTD_dct_auto,
                                                 params, kMappedMemory));
    if (!state->cdict) return StoreError::Invalid("the compression dictionary cannot be loaded");
  }
  const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxThreads);
  state->runs.resize(threads);
  for (RunCompressor& run : state->runs) {
    if (Status ready = run.Prepare(state->cdict.get(), options.level, params.windowLog); !ready.ok()) return ready.take_error();
  }
  return ValueCompressor(std::move(state));
}

Status ValueCompressor::CompressAll(const ObjectList& objects, const Keep* keep, const Emit& emit) {
  State& state = *state_;
  std::vector<RunCompressor>& runs = state.runs;
  if (runs.empty()) return StoreError::Invalid("the values of this build were compressed already");
  const std::size_t threads = runs.size();
  const std::uint64_t n = objects.size();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans(threads);  // each run's [first, last)
  for (std::uint64_t next = 0; next < n;) {
    std::size_t used = 0;
    for (; used < threads && next < n; ++used) {
      const std::uint64_t first = next;
      std::uint64_t input = 0;
      while (next < n && next - first < kObjectsPerRun && input < kRunInputBytes) {
        input += objects.record_length(next++) - format::kRecordHeadSize;
      }
      spans[used] = {first, next};
    }
    std::vector<std::thread> workers;
    workers.reserve(used);
    for (std::size_t t = 1; t < used; ++t) {
      workers.emplace_back([&, t] { runs[t].Run(objects, keep, spans[t].first, spans[t].second); });
    }
    runs[0].Run(objects, keep, spans[0].first, spans[0].second);
    for (std::thread& worker : workers) worker.join();
    for (std::size_t t = 0; t < used; ++t) {
      if (Status done = runs[t].Finish(); !done.ok()) return done;
      if (runs[t].unread) return objects.failure();
      if (!runs[t].Emit(emit)) return {};
      state.original_bytes += runs[t].original_bytes;
      state.stored_bytes += runs[t].stored_bytes;
      state.max_value_length = std::max(state.max_value_length, runs[t].max_value_length);
      runs[t].Clear();
    }
  }
  // The rest of the build needs nothing of libzstd's: its contexts, their buffers and the
  // prepared dictionary (about 3 MiB at level 3) go before the build makes its index, the
  // part of it that holds the most.
  runs.clear();
  runs.shrink_to_fit();
  state.cdict.reset();
#if defined(__GLIBC__)
  // And their pages go back to the system now: glibc would keep most of them in its heap,
  // resident, through the index's making.
  malloc_trim(0);
#endif
  return {};
}

std::vector<std::uint8_t> ValueCompressor::DictionaryRecord() const {
  const State& state = *state_;
  format::DictionaryTrailer trailer;
  trailer.original_bytes = state.original_bytes;
  trailer.stored_bytes = state.stored_bytes;
  trailer.max_value_length = static_cast<std::uint32_t>(state.max_value_length);
  trailer.dictionary_length = static_cast<std::uint32_t>(state.dictionary.size());
  std::vector<std::uint8_t> record(state.dictionary.size() + format::kDictionaryTrailerSize);
  if (!state.dictionary.empty()) std::memcpy(record.data(), state.dictionary.data(), state.dictionary.size());
  trailer.EncodeTo(record.data() + state.dictionary.size());
  return record;
}

}  // namespace kalvex::writer
