// The writer half of the C interface: a kalvex_writer is a core Writer.
//
// Batch calls exist so a binding can hand over thousands of objects or keys per call;
// the key batch checks every key first so a bad one leaves the writer untouched.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "capi/error.h"
#include "core/format/layout.h"
#include "core/writer/summary_line.h"
#include "core/writer/writer.h"
#include "kalvex.h"

// The header states the format's key limit to callers; the two must never differ.
static_assert(KALVEX_MAX_KEY_SIZE == kalvex::format::kMaxKeyLength);
static_assert(KALVEX_MAX_DICTIONARY_SIZE == kalvex::writer::kMaxDictionarySize);

namespace kalvex::capi {
namespace {

using writer::Writer;

Writer& Core(kalvex_writer* handle) { return *reinterpret_cast<Writer*>(handle); }
const Writer& Core(const kalvex_writer* handle) { return *reinterpret_cast<const Writer*>(handle); }

std::span<const std::uint8_t> AsBytes(const void* data, std::size_t size) {
  return {static_cast<const std::uint8_t*>(data), size};
}

// Element i of a concatenation described by end offsets.
std::span<const std::uint8_t> Slice(const uint8_t* blob, const size_t* ends, std::size_t i) {
  return writer::Concatenated{blob, ends}[i];
}

// Every key of a batch against the writer's key rule, before anything is stored, so that a
// refused batch changes nothing: the length test inline, and for the first key that fails
// it the core's own error, worded as a single add would word it, with *refused_at its
// position.
kalvex_status CheckKeys(const uint8_t* keys, const size_t* ends, std::size_t count, std::size_t* refused_at,
                        kalvex_error* err) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::span<const std::uint8_t> key = Slice(keys, ends, i);
    if (key.size() <= kalvex::format::kMaxKeyLength) continue;
    *refused_at = i;
    Status refused = Writer::CheckKey(key);
    if (!refused.ok()) return FailWith(err, refused.error());
    return Fail(err, KALVEX_INTERNAL, -1, "a key over the limit passed the writer's check");
  }
  return KALVEX_OK;
}

}  // namespace
}  // namespace kalvex::capi

using namespace kalvex::capi;
using kalvex::Result;
using kalvex::Status;
using kalvex::writer::BuildReport;
using kalvex::writer::Writer;

extern "C" {

kalvex_status kalvex_writer_new(kalvex_writer** out, kalvex_error* err) {
  *out = nullptr;
  return Guarded(err, [&] {
    *out = reinterpret_cast<kalvex_writer*>(new Writer());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_new_with(kalvex_writer** out, const kalvex_writer_options* options, kalvex_error* err) {
  *out = nullptr;
  return Guarded(err, [&] {
    kalvex::writer::WriterOptions chosen;
    if (options != nullptr) {
      if (options->path != nullptr) chosen.destination.assign(options->path, options->path_size);
      chosen.memory_limit = options->memory_limit;
    }
    *out = reinterpret_cast<kalvex_writer*>(new Writer(std::move(chosen)));
    return KALVEX_OK;
  });
}

void kalvex_writer_free(kalvex_writer* writer) { delete reinterpret_cast<Writer*>(writer); }

void kalvex_writer_discard(kalvex_writer* writer) { Core(writer).Discard(); }

uint64_t kalvex_writer_num_objects(const kalvex_writer* writer) { return Core(writer).num_objects(); }

kalvex_status kalvex_writer_num_keys(const kalvex_writer* writer, uint64_t* count, kalvex_error* err) {
  *count = 0;
  return Guarded(err, [&] {
    Result<std::uint64_t> counted = Core(writer).num_keys();
    if (!counted.ok()) return FailWith(err, counted.error());
    *count = counted.value();
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_contains_key(const kalvex_writer* writer, const void* key, size_t key_size,
                                         int* found, kalvex_error* err) {
  *found = 0;
  return Guarded(err, [&] {
    Result<bool> present = Core(writer).ContainsKey(AsBytes(key, key_size));
    if (!present.ok()) return FailWith(err, present.error());
    *found = present.value() ? 1 : 0;
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_object(kalvex_writer* writer, const void* payload, size_t payload_size,
                                       uint64_t* id, kalvex_error* err) {
  return Guarded(err, [&] {
    *id = Core(writer).AddObject(AsBytes(payload, payload_size));
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_object_unique(kalvex_writer* writer, const void* payload,
                                              size_t payload_size, uint64_t* id, kalvex_error* err) {
  return Guarded(err, [&] {
    *id = Core(writer).AddObjectUnique(AsBytes(payload, payload_size));
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_key(kalvex_writer* writer, const void* key, size_t key_size, uint64_t id,
                                    kalvex_error* err) {
  return Guarded(err, [&] {
    Status added = Core(writer).AddKey(AsBytes(key, key_size), id);
    if (!added.ok()) return FailWith(err, added.error());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_objects(kalvex_writer* writer, size_t count, const uint8_t* payloads,
                                        const size_t* ends, uint64_t* first_id, size_t* added,
                                        kalvex_error* err) {
  *added = 0;
  *first_id = Core(writer).num_objects();
  return Guarded(err, [&] {
    Writer& w = Core(writer);
    for (std::size_t i = 0; i < count; ++i) {
      w.AddObject(Slice(payloads, ends, i));
      *added = i + 1;
    }
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_keys(kalvex_writer* writer, size_t count, const uint8_t* keys,
                                     const size_t* ends, const uint64_t* ids, size_t* added,
                                     kalvex_error* err) {
  *added = 0;
  return Guarded(err, [&] {
    Writer& w = Core(writer);
    const std::uint64_t num_objects = w.num_objects();
    for (std::size_t i = 0; i < count; ++i) {
      if (ids[i] < num_objects && Slice(keys, ends, i).size() <= kalvex::format::kMaxKeyLength) continue;
      // The core rejects exactly these keys and changes nothing doing so: its error is
      // the one to report, worded as a single add_key would word it.
      *added = i;
      Status rejected = w.AddKey(Slice(keys, ends, i), ids[i]);
      if (!rejected.ok()) return FailWith(err, rejected.error());
      return Fail(err, KALVEX_INTERNAL, -1, "a key the batch check rejected was accepted");
    }
    for (std::size_t i = 0; i < count; ++i) {
      Status mapped = w.AddKey(Slice(keys, ends, i), ids[i]);
      if (!mapped.ok()) return FailWith(err, mapped.error());
      *added = i + 1;
    }
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_mapped(kalvex_writer* writer, const void* payload, size_t payload_size,
                                       int unique, size_t count, const uint8_t* keys, const size_t* ends,
                                       uint64_t* id, kalvex_error* err) {
  return Guarded(err, [&] {
    Writer& w = Core(writer);
    std::size_t refused_at = 0;
    if (const kalvex_status checked = CheckKeys(keys, ends, count, &refused_at, err); checked != KALVEX_OK) {
      return checked;
    }
    const auto data = AsBytes(payload, payload_size);
    *id = unique != 0 ? w.AddObjectUnique(data) : w.AddObject(data);
    for (std::size_t i = 0; i < count; ++i) {
      Status mapped = w.AddKey(Slice(keys, ends, i), *id);
      if (!mapped.ok()) return FailWith(err, mapped.error());
    }
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_add_pairs(kalvex_writer* writer, int unique, size_t count, const uint8_t* payloads,
                                      const size_t* payload_ends, const uint8_t* keys, const size_t* key_ends,
                                      size_t* added, kalvex_error* err) {
  *added = 0;
  return Guarded(err, [&] {
    Writer& w = Core(writer);
    if (const kalvex_status checked = CheckKeys(keys, key_ends, count, added, err); checked != KALVEX_OK) {
      return checked;
    }
    Status done = w.AddPairs(unique != 0, count, {payloads, payload_ends}, {keys, key_ends}, added);
    if (!done.ok()) return FailWith(err, done.error());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_build(const kalvex_writer* writer, const char* path, size_t path_size,
                                  int print_summary, kalvex_build_report* report, kalvex_error* err) {
  kalvex_build_options options{};
  options.print_summary = print_summary;
  return kalvex_writer_build_with(writer, path, path_size, &options, report, err);
}

kalvex_status kalvex_writer_build_with(const kalvex_writer* writer, const char* path, size_t path_size,
                                       const kalvex_build_options* options, kalvex_build_report* report,
                                       kalvex_error* err) {
  const kalvex_build_options chosen = options != nullptr ? *options : kalvex_build_options{};
  return Guarded(err, [&] {
    const std::string_view destination(path, path_size);
    kalvex::writer::BuildOptions build_options;
    build_options.mapped_index = chosen.mapped_index != 0;
    build_options.drop_unreferenced = chosen.drop_unreferenced != 0;
    if (chosen.compression != 0) {
      kalvex::writer::CompressionOptions& compression = build_options.compression;
      compression.enabled = true;
      if (chosen.compression_level != 0) compression.level = chosen.compression_level;
      if (chosen.dictionary != nullptr) {
        compression.dictionary_given = true;
        compression.dictionary.assign(chosen.dictionary, chosen.dictionary + chosen.dictionary_size);
      }
    }
    Result<BuildReport> built = Core(writer).Build(destination, build_options);
    if (!built.ok()) return FailWith(err, built.error());
    const BuildReport& done = built.value();
    if (report != nullptr) *report = {done.num_objects, done.num_keys, done.file_size, done.index_size};
    if (chosen.print_summary != 0) kalvex::writer::PrintSummaryLine(destination, done);
    return KALVEX_OK;
  });
}

kalvex_status kalvex_writer_train_dictionary(const kalvex_writer* writer, uint8_t* dictionary, size_t capacity,
                                             size_t* size, kalvex_error* err) {
  *size = 0;
  return Guarded(err, [&] {
    if (capacity < KALVEX_MAX_DICTIONARY_SIZE) {
      return FailInvalid(err, "a dictionary buffer needs " + std::to_string(KALVEX_MAX_DICTIONARY_SIZE) + " bytes");
    }
    Result<std::vector<std::uint8_t>> trained = Core(writer).TrainDictionary();
    if (!trained.ok()) return FailWith(err, trained.error());
    if (!trained.value().empty()) std::memcpy(dictionary, trained.value().data(), trained.value().size());
    *size = trained.value().size();
    return KALVEX_OK;
  });
}

}  // extern "C"
