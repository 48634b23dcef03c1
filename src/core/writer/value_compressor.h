// Compressing a build's values (format/compression_layout.h): the dictionary, trained
// from the writer's values or given by the caller, and the stored values themselves.
//
// The writer keeps its values as given, so that it can be built again and grown, with or
// without compression. A compressed build streams the stored values to the file as they
// are made (writer.h): beyond the writer itself it holds the batch in flight, not a
// compressed copy of the data section.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/result.h"
#include "core/writer/object_aliases.h"
#include "core/writer/object_list.h"

namespace kalvex::writer {

// The largest dictionary TrainDictionary makes.
inline constexpr std::size_t kMaxDictionarySize = std::size_t{112} << 10;

struct CompressionOptions {
  bool enabled = false;
  int level = 3;  // libzstd's level, 1 .. its maximum (negative: its faster levels)
  // A dictionary trained elsewhere, used as given (copied by the build's options' owner);
  // empty: train one from the values.
  std::vector<std::uint8_t> dictionary;
  bool dictionary_given = false;
};

// The compression of one build: the dictionary, chosen once, and the contexts of the
// threads that compress. Move-only.
class ValueCompressor {
 public:
  // Which objects a build writes, by object id (nonzero: written); null for all of them.
  // An object left out is neither compressed nor sampled for the dictionary, whose bytes
  // are copied from the samples: a replaced value must not reach the file through it.
  using Keep = std::vector<std::uint8_t>;

  // Trains the dictionary from the kept objects (or takes the given one) and prepares a
  // context per thread. Fails with KalvError for a level libzstd does not accept or a
  // given dictionary it cannot load. May throw std::bad_alloc.
  // With `aliases`, the dictionary samples the objects as a writer that made no aliases
  // would (see TrainDictionary). REQUIRES: !objects.first_oversized(); keep, when given,
  // has an entry per object, and is given, with no alias kept, when there are aliases.
  static Result<ValueCompressor> Make(const ObjectList& objects, const Keep* keep, const CompressionOptions& options,
                                      const ObjectAliases* aliases = nullptr);

  ValueCompressor(ValueCompressor&&) noexcept;
  ValueCompressor& operator=(ValueCompressor&&) noexcept;
  ~ValueCompressor();

  // Compresses every kept object of `objects` into its stored value
  // (format/compression_layout.h) and hands them to emit(object id, stored) in object id
  // order, a batch at a time. Stops at the first emit that returns false (the caller keeps
  // its reason). Fails with KalvError when libzstd fails. May throw std::bad_alloc.
  // Runs once: it frees the compression contexts as it ends (a second call fails).
  using Emit = std::function<bool(std::uint64_t, std::span<const std::uint8_t>)>;
  Status CompressAll(const ObjectList& objects, const Keep* keep, const Emit& emit);

  // The dictionary record's payload (dictionary, trailer) once CompressAll has run.
  std::vector<std::uint8_t> DictionaryRecord() const;

  std::uint64_t dictionary_size() const;

 private:
  struct State;
  explicit ValueCompressor(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The dictionary a build would train from these values (the kept ones: see
// ValueCompressor::Keep), empty when there is too little to learn from: what a caller
// shares between stores. Aliases (object_aliases.h) are skipped as if never added, so that
// the samples are those of the writer without a budget; REQUIRES: keep is then given, with
// no alias kept. May throw std::bad_alloc.
std::vector<std::uint8_t> TrainDictionary(const ObjectList& objects, const std::vector<std::uint8_t>* keep = nullptr,
                                          const ObjectAliases* aliases = nullptr);

}  // namespace kalvex::writer
