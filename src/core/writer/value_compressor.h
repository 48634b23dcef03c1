// Compressing a build's values (format/compression_layout.h): the dictionary, trained
// from the writer's values or given by the caller, and a data section of tagged values
// followed by the dictionary's record.
//
// The writer keeps its values as given, so that it can be built again and grown, with or
// without compression: a compressed build makes a second data section, the compressed
// one, which lives in the build plan until the commit has written it. That copy is what
// a compressed build costs in memory, the stored bytes (about a third to a half of the
// values for the records the option is for).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/result.h"
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

struct CompressedSection {
  // The tagged values in object id order, then the dictionary's record.
  std::unique_ptr<ObjectList> records;
  std::uint64_t dictionary_size = 0;
  std::uint64_t original_bytes = 0;
  std::uint64_t stored_bytes = 0;
};

// The compressed data section of `objects`. Fails with KalvError for a level libzstd does
// not accept or a given dictionary it cannot load. May throw std::bad_alloc.
// REQUIRES: !objects.first_oversized().
Result<CompressedSection> CompressObjects(const ObjectList& objects, const CompressionOptions& options);

// The dictionary a build would train from these values (empty when there is too little to
// learn from): what a caller shares between stores. May throw std::bad_alloc.
std::vector<std::uint8_t> TrainDictionary(const ObjectList& objects);

}  // namespace kalvex::writer
