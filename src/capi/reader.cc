// The reader half of the C interface: a kalvex_reader is a core Reader.
//
// The handle is the Reader itself behind an opaque pointer, so a call costs one
// indirection. Payload and key views point into the mapping the Reader owns.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capi/error.h"
#include "core/format/layout.h"
#include "core/reader/file_order.h"
#include "core/reader/reader.h"
#include "kalvex.h"

struct kalvex_objects {
  std::vector<kalvex_bytes> items;
  std::vector<uint64_t> offsets;
};

namespace kalvex::capi {
namespace {

using reader::Bytes;
using reader::Reader;

const Reader& Core(const kalvex_reader* handle) { return *reinterpret_cast<const Reader*>(handle); }
Bytes AsBytes(const void* data, std::size_t size) { return {static_cast<const std::uint8_t*>(data), size}; }
kalvex_bytes AsC(Bytes bytes) { return {bytes.data(), bytes.size()}; }

// The entries at positions [first, first + max_entries) clamped to the reader's range:
// their keys and object offsets up to the first damaged entry, then, when asked, their
// payloads up to the first damaged record. `failure` is whichever came first in order;
// what lies before it is whole. `usable` counts the entries with everything asked for.
struct RangeRead {
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  std::vector<Bytes> payloads;
  std::optional<StoreError> failure;
  std::size_t usable = 0;
};

RangeRead ReadRange(const Reader& r, std::size_t first, std::size_t last, std::size_t max_entries,
                    bool with_payloads) {
  RangeRead read;
  last = std::min(last, r.entry_count());
  if (first >= last) return read;
  const std::size_t stop = first + std::min(max_entries, last - first);
  read.keys.reserve(stop - first);
  read.offsets.reserve(stop - first);
  if (Status status = r.ReadEntries(first, stop, read.keys, read.offsets); !status.ok()) {
    read.failure = status.take_error();
  }
  read.usable = read.keys.size();
  if (with_payloads) {
    read.payloads.reserve(read.offsets.size());
    if (Status got = r.FetchOffsets(read.offsets, read.payloads); !got.ok()) read.failure = got.take_error();
    read.usable = read.payloads.size();
  }
  return read;
}

// The caller copies each payload of a chunk next. Reading a record's head brought its
// first cache line in; asking for the rest now lets those misses overlap instead of
// falling one by one on the copies. Lines past the first few of a large payload stream
// in by themselves once the copy reaches them.
void PrefetchTails(const Bytes* payloads, std::size_t count) {
  constexpr std::size_t kLine = 64;
  constexpr std::size_t kLines = 4;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* data = payloads[i].data();
    const std::size_t size = std::min(payloads[i].size(), kLine * kLines);
    for (std::size_t at = kLine; at < size; at += kLine) __builtin_prefetch(data + at);
  }
}

bool IsAscii(Bytes bytes) {
  std::uint8_t high = 0;
  for (std::uint8_t b : bytes) high |= b;
  return high < 0x80;
}

}  // namespace
}  // namespace kalvex::capi

using namespace kalvex::capi;
using kalvex::Result;
using kalvex::Status;
using kalvex::StoreError;
using kalvex::reader::Bytes;
using kalvex::reader::Reader;

extern "C" {

kalvex_status kalvex_reader_open_with(const char* path, size_t path_size, const kalvex_open_options* options,
                                      kalvex_reader** out, kalvex_error* err) {
  *out = nullptr;
  const kalvex_open_options given = options != nullptr ? *options : kalvex_open_options{};
  return Guarded(err, [&] {
    kalvex::reader::OpenOptions core;
    core.verify = given.verify != 0;
    // parse_index reads every file as a plain store: feature bits, and with them a carried
    // index and a compressed store's dictionary, are left alone (values come as stored).
    core.map_index = given.parse_index == 0;
    core.decode_values = given.parse_index == 0;
    core.check_records = given.check_records != 0;
    Result<std::unique_ptr<Reader>> opened = Reader::Open(std::string(path, path_size), core);
    if (!opened.ok()) return FailWith(err, opened.error());
    *out = reinterpret_cast<kalvex_reader*>(std::move(opened).value().release());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_open(const char* path, size_t path_size, int verify, kalvex_reader** out,
                                 kalvex_error* err) {
  kalvex_open_options options{};
  options.verify = verify;
  return kalvex_reader_open_with(path, path_size, &options, out, err);
}

void kalvex_reader_close(kalvex_reader* reader) { delete reinterpret_cast<Reader*>(reader); }

void kalvex_reader_stats(const kalvex_reader* reader, kalvex_stats* out) {
  const Reader& r = Core(reader);
  out->file_size = r.file_size();
  out->index_offset = r.index_offset();
  out->data_offset = kalvex::format::kDataOffset;
  out->num_keys = r.num_keys();
  out->num_objects = r.num_objects();
  out->file_crc32 = r.file_crc32();
  out->version = kalvex::format::kVersion;
  out->index_size = r.index_object_size();
  out->mapped_index = r.maps_index() ? 1 : 0;
  out->user_objects = r.num_user_objects();
  const kalvex::reader::ValueDecoder* decoder = r.decoder();
  out->compressed = decoder != nullptr ? 1 : 0;
  out->dictionary_size = decoder != nullptr ? decoder->dictionary_size() : 0;
  out->original_bytes = decoder != nullptr ? decoder->original_bytes() : 0;
  out->stored_bytes = decoder != nullptr ? decoder->stored_bytes() : 0;
}

kalvex_status kalvex_reader_value_size(const kalvex_reader* reader, kalvex_bytes stored, size_t* size,
                                       kalvex_error* err) {
  *size = 0;
  return Guarded(err, [&] {
    Result<std::size_t> length = Core(reader).DecodedSize(Bytes(stored.data, stored.size));
    if (!length.ok()) return FailWith(err, length.error());
    *size = length.value();
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_decode(const kalvex_reader* reader, kalvex_bytes stored, uint8_t* out, size_t size,
                                   kalvex_error* err) {
  return Guarded(err, [&] {
    const Reader& r = Core(reader);
    const Bytes payload(stored.data, stored.size);
    Result<std::size_t> length = r.DecodedSize(payload);
    if (!length.ok()) return FailWith(err, length.error());
    if (length.value() != size) {
      return FailInvalid(err, "the value is " + std::to_string(length.value()) + " bytes, not " + std::to_string(size));
    }
    Status decoded = r.Decode(payload, out, size);
    if (!decoded.ok()) return FailWith(err, decoded.error());
    return KALVEX_OK;
  });
}

kalvex_bytes kalvex_reader_dictionary(const kalvex_reader* reader) {
  const kalvex::reader::ValueDecoder* decoder = Core(reader).decoder();
  if (decoder == nullptr || decoder->dictionary_size() == 0) return {nullptr, 0};
  return {decoder->dictionary_data(), static_cast<size_t>(decoder->dictionary_size())};
}

kalvex_bytes kalvex_reader_path(const kalvex_reader* reader) {
  const std::string& path = Core(reader).path();
  return {reinterpret_cast<const uint8_t*>(path.data()), path.size()};
}

size_t kalvex_reader_memory_usage(const kalvex_reader* reader) { return Core(reader).MemoryUsage(); }

size_t kalvex_reader_entry_count(const kalvex_reader* reader) { return Core(reader).entry_count(); }

kalvex_status kalvex_reader_find(const kalvex_reader* reader, const void* key, size_t key_size,
                                 kalvex_bytes* payload, kalvex_error* err) {
  *payload = {nullptr, 0};
  // Only a damaged record allocates (its message); the guard costs nothing otherwise.
  return Guarded(err, [&] {
    const Reader& r = Core(reader);
    Result<std::optional<std::uint64_t>> offset = r.Lookup(AsBytes(key, key_size));
    if (!offset.ok()) return FailWith(err, offset.error());
    if (!offset.value()) return KALVEX_OK;
    Result<Bytes> fetched = r.FetchObject(*offset.value());
    if (!fetched.ok()) return FailWith(err, fetched.error());
    *payload = AsC(fetched.value());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_find_many(const kalvex_reader* reader, size_t count, const uint8_t* keys,
                                      const size_t* ends, kalvex_bytes* payloads, kalvex_error* err) {
  return Guarded(err, [&] {
    // The core answers in its own view type; a block at a time keeps the copy on the stack.
    constexpr std::size_t kBlock = 256;
    Bytes found[kBlock];
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(kBlock, count - done);
      Status fetched = Core(reader).FetchMany(keys, ends, done, done + n, found);
      if (!fetched.ok()) return FailWith(err, fetched.error());
      for (std::size_t i = 0; i < n; ++i) payloads[done + i] = AsC(found[i]);
      done += n;
    }
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_exists(const kalvex_reader* reader, const void* key, size_t key_size, int* found,
                                   kalvex_error* err) {
  *found = 0;
  return Guarded(err, [&] {
    Result<std::optional<std::uint64_t>> offset = Core(reader).Lookup(AsBytes(key, key_size));
    if (!offset.ok()) return FailWith(err, offset.error());
    *found = offset.value().has_value() ? 1 : 0;
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_entry(const kalvex_reader* reader, size_t position, kalvex_bytes* key,
                                  kalvex_bytes* payload, kalvex_error* err) {
  return Guarded(err, [&] {
    const Reader& r = Core(reader);
    if (position >= r.entry_count()) {
      return FailInvalid(err, "position " + std::to_string(position) + " is out of range for " +
                                  std::to_string(r.entry_count()) + " entries");
    }
    std::vector<Bytes> keys;
    std::vector<std::uint64_t> offsets;
    if (Status read = r.ReadEntries(position, position + 1, keys, offsets); !read.ok()) {
      return FailWith(err, read.error());
    }
    if (payload != nullptr) {
      Result<Bytes> fetched = r.FetchObject(offsets[0]);
      if (!fetched.ok()) return FailWith(err, fetched.error());
      *payload = AsC(fetched.value());
    }
    if (key != nullptr) *key = AsC(keys[0]);
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_prefix_range(const kalvex_reader* reader, const void* prefix, size_t prefix_size,
                                         size_t* first, size_t* last, kalvex_error* err) {
  *first = 0;
  *last = 0;
  return Guarded(err, [&] {
    Result<std::pair<std::size_t, std::size_t>> range = Core(reader).SearchPrefix(AsBytes(prefix, prefix_size));
    if (!range.ok()) return FailWith(err, range.error());
    *first = range.value().first;
    *last = range.value().second;
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_check_index(const kalvex_reader* reader, kalvex_error* err) {
  return Guarded(err, [&] {
    Status checked = Core(reader).CheckIndex();
    if (!checked.ok()) return FailWith(err, checked.error());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_lower_bound(const kalvex_reader* reader, const void* key, size_t key_size,
                                       size_t* position, kalvex_error* err) {
  return Guarded(err, [&] {
    Result<std::size_t> found = Core(reader).LowerBound(AsBytes(key, key_size));
    if (!found.ok()) return FailWith(err, found.error());
    *position = found.value();
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_read_range(const kalvex_reader* reader, size_t first, size_t last,
                                       size_t max_entries, uint8_t* keys, size_t keys_capacity,
                                       size_t* key_ends, uint8_t* payloads, size_t payloads_capacity,
                                       size_t* payload_ends, kalvex_chunk* out, kalvex_error* err) {
  *out = kalvex_chunk{0, 0, 0, 1, 0, 0};
  return Guarded(err, [&] {
    const RangeRead read = ReadRange(Core(reader), first, last, max_entries, payloads != nullptr);
    const std::optional<StoreError>& failure = read.failure;
    const std::vector<Bytes>& entry_keys = read.keys;
    const std::vector<Bytes>& fetched = read.payloads;
    const std::size_t available = read.usable;

    std::size_t keys_used = 0;
    std::size_t payloads_used = 0;
    bool ascii = true;
    std::size_t i = 0;
    const Reader& r = Core(reader);
    std::optional<StoreError> undecodable;
    for (; i < available; ++i) {
      const Bytes key = entry_keys[i];
      const Bytes stored = payloads != nullptr ? fetched[i] : Bytes();
      std::size_t value_size = stored.size();
      if (payloads != nullptr) {
        Result<std::size_t> decoded_size = r.DecodedSize(stored);
        if (!decoded_size.ok()) {
          undecodable = decoded_size.take_error();
          break;
        }
        value_size = decoded_size.value();
      }
      // Compared as room left, so a huge size cannot wrap the sum.
      const bool key_fits = keys == nullptr || key.size() <= keys_capacity - keys_used;
      const bool payload_fits = payloads == nullptr || value_size <= payloads_capacity - payloads_used;
      if (!key_fits || !payload_fits) {
        if (i == 0) {
          out->key_need = keys != nullptr ? key.size() : 0;
          out->payload_need = value_size;
        }
        break;
      }
      if (payloads != nullptr) {
        Status decoded = r.Decode(stored, payloads + payloads_used, value_size);
        if (!decoded.ok()) {
          undecodable = decoded.take_error();
          break;
        }
        payloads_used += value_size;
        payload_ends[i] = payloads_used;
      }
      if (keys != nullptr) {
        if (!key.empty()) std::memcpy(keys + keys_used, key.data(), key.size());
        keys_used += key.size();
        key_ends[i] = keys_used;
        ascii = ascii && IsAscii(key);
      }
    }
    out->count = i;
    out->keys_size = keys_used;
    out->payloads_size = payloads_used;
    out->keys_ascii = ascii ? 1 : 0;
    // The damaged record counts only once every entry before it was delivered.
    if (undecodable) return FailWith(err, *undecodable);
    if (failure && i == available) return FailWith(err, *failure);
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_entries(const kalvex_reader* reader, size_t first, size_t last,
                                    size_t max_entries, kalvex_bytes* keys, kalvex_bytes* payloads,
                                    uint64_t* offsets, size_t* count, kalvex_error* err) {
  *count = 0;
  return Guarded(err, [&] {
    const Reader& r = Core(reader);
    if (payloads == nullptr) {
      // Nothing to fetch: the index alone, straight into the caller's arrays.
      last = std::min(last, r.entry_count());
      if (first >= last) return KALVEX_OK;
      const std::size_t stop = first + std::min(max_entries, last - first);
      std::size_t filled = 0;
      const Status walked = r.WalkEntries(first, stop, [&](std::size_t, Bytes key, std::uint64_t offset) {
        if (keys != nullptr) keys[filled] = AsC(key);
        if (offsets != nullptr) offsets[filled] = offset;
        ++filled;
      });
      *count = filled;
      return walked.ok() ? KALVEX_OK : FailWith(err, walked.error());
    }
    // The views before a failure are handed out with it.
    const RangeRead read = ReadRange(Core(reader), first, last, max_entries, payloads != nullptr);
    const std::size_t filled = read.usable;
    if (payloads != nullptr) PrefetchTails(read.payloads.data(), filled);
    for (std::size_t i = 0; i < filled; ++i) {
      if (payloads != nullptr) payloads[i] = AsC(read.payloads[i]);
      if (keys != nullptr) keys[i] = AsC(read.keys[i]);
      if (offsets != nullptr) offsets[i] = read.offsets[i];
    }
    *count = filled;
    if (read.failure) return FailWith(err, *read.failure);
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_verify(const kalvex_reader* reader, kalvex_error* err) {
  return Guarded(err, [&] {
    Status checked = Core(reader).Verify();
    if (!checked.ok()) return FailWith(err, checked.error());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_object(const kalvex_reader* reader, uint64_t offset, kalvex_bytes* payload,
                                   kalvex_error* err) {
  *payload = {nullptr, 0};
  return Guarded(err, [&] {
    Result<Bytes> fetched = Core(reader).FetchObject(offset);
    if (!fetched.ok()) return FailWith(err, fetched.error());
    *payload = AsC(fetched.value());
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_file_order(const kalvex_reader* reader, size_t first, size_t last, size_t* places,
                                       uint64_t* offsets, size_t* count, kalvex_error* err) {
  *count = 0;
  return Guarded(err, [&] {
    const std::optional<kalvex::reader::FileOrder> order = Core(reader).InFileOrder(first, last);
    if (!order) return KALVEX_OK;
    for (std::size_t k = 0; k < order->size(); ++k) {
      places[k] = order->place(k);
      offsets[k] = order->offset(k);
    }
    *count = order->size();
    return KALVEX_OK;
  });
}

kalvex_status kalvex_reader_objects(const kalvex_reader* reader, kalvex_objects** out, kalvex_error* err) {
  *out = nullptr;
  return Guarded(err, [&] {
    auto objects = std::make_unique<kalvex_objects>();
    Result<std::vector<Bytes>> found = Core(reader).FetchUniqueObjects(&objects->offsets);
    if (!found.ok()) return FailWith(err, found.error());
    objects->items.reserve(found.value().size());
    for (Bytes payload : found.value()) objects->items.push_back(AsC(payload));
    *out = objects.release();
    return KALVEX_OK;
  });
}

size_t kalvex_objects_count(const kalvex_objects* objects) { return objects->items.size(); }

const kalvex_bytes* kalvex_objects_items(const kalvex_objects* objects) { return objects->items.data(); }

const uint64_t* kalvex_objects_offsets(const kalvex_objects* objects) { return objects->offsets.data(); }

void kalvex_objects_free(kalvex_objects* objects) { delete objects; }

}  // extern "C"
