#include "core/writer/value_compressor.h"

#include <zdict.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

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
// The trainer is given about 100 times the dictionary's size of samples (its authors'
// advice), spread evenly over the values; each sample is at most a value's first 128 KiB.
constexpr std::size_t kSamplesPerDictionaryByte = 100;
constexpr std::size_t kMaxSampleSize = std::size_t{128} << 10;

std::uint64_t ValueBytes(const ObjectList& objects) {
  return objects.data_length() - objects.size() * format::kRecordHeadSize;
}

StoreError ZstdFailure(const char* what, std::size_t code) {
  return StoreError::Invalid(std::string(what) + ": " + ZSTD_getErrorName(code));
}

}  // namespace

std::vector<std::uint8_t> TrainDictionary(const ObjectList& objects) {
  const std::uint64_t n = objects.size();
  const std::uint64_t total = ValueBytes(objects);
  const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(total / kDictionaryDivisor, kMaxDictionarySize));
  if (n == 0 || capacity < kMinDictionarySize) return {};
  const std::uint64_t budget = std::uint64_t{capacity} * kSamplesPerDictionaryByte;
  // Every stride-th value: the whole store's variety, not its first values'.
  const std::uint64_t stride = std::max<std::uint64_t>(1, total / budget);
  std::vector<std::uint8_t> samples;
  std::vector<std::size_t> sizes;
  samples.reserve(static_cast<std::size_t>(std::min(total, budget + kMaxSampleSize)));
  for (std::uint64_t id = 0; id < n && samples.size() < budget; id += stride) {
    const std::span<const std::uint8_t> value = objects.Payload(id);
    const std::size_t take = std::min(value.size(), kMaxSampleSize);
    if (take == 0) continue;
    samples.insert(samples.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(take));
    sizes.push_back(take);
  }
  if (sizes.empty()) return {};
  std::vector<std::uint8_t> dictionary(capacity);
  const std::size_t made = ZDICT_trainFromBuffer(dictionary.data(), capacity, samples.data(), sizes.data(),
                                                 static_cast<unsigned>(sizes.size()));
  // Too few or too uniform samples: the values go without a dictionary.
  if (ZDICT_isError(made)) return {};
  dictionary.resize(made);
  return dictionary;
}

Result<CompressedSection> CompressObjects(const ObjectList& objects, const CompressionOptions& options) {
  if (options.level < ZSTD_minCLevel() || options.level > ZSTD_maxCLevel() || options.level == 0) {
    return StoreError::Invalid("compression level " + std::to_string(options.level) + " is outside " +
                               std::to_string(ZSTD_minCLevel()) + " .. " + std::to_string(ZSTD_maxCLevel()));
  }
  const std::vector<std::uint8_t> dictionary = options.dictionary_given ? options.dictionary : TrainDictionary(objects);
  if (dictionary.size() > format::kMaxPayloadLength - format::kDictionaryTrailerSize) {
    return StoreError::Invalid("dictionary of " + std::to_string(dictionary.size()) + " bytes is too large");
  }

  std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx(ZSTD_createCCtx());
  if (!cctx) throw std::bad_alloc();
  std::unique_ptr<ZSTD_CDict, FreeCDict> cdict;
  // Each frame records its content size, which is the value's length; the dictionary's
  // id and a checksum would repeat in every value what the file holds once (the record's
  // CRC covers the frame).
  std::size_t set = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1);
  if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0);
  if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_dictIDFlag, 0);
  if (!ZSTD_isError(set)) set = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, options.level);
  if (ZSTD_isError(set)) return ZstdFailure("compression setup failed", set);
  if (!dictionary.empty()) {
    cdict.reset(ZSTD_createCDict(dictionary.data(), dictionary.size(), options.level));
    if (!cdict) return StoreError::Invalid("the compression dictionary cannot be loaded");
    set = ZSTD_CCtx_refCDict(cctx.get(), cdict.get());
    if (ZSTD_isError(set)) return ZstdFailure("compression dictionary refused", set);
  }

  CompressedSection section;
  section.records = std::make_unique<ObjectList>();
  ObjectList& records = *section.records;
  std::vector<std::uint8_t> scratch;
  std::uint64_t max_value_length = 0;
  for (std::uint64_t id = 0; id < objects.size(); ++id) {
    const std::span<const std::uint8_t> value = objects.Payload(id);
    const std::size_t bound = ZSTD_compressBound(value.size());
    if (scratch.size() < format::kValueTagSize + std::max(bound, value.size())) {
      scratch.resize(format::kValueTagSize + std::max(bound, value.size()));
    }
    std::size_t body = ZSTD_compress2(cctx.get(), scratch.data() + format::kValueTagSize, bound, value.data(), value.size());
    if (ZSTD_isError(body)) return ZstdFailure("compression failed", body);
    // A value that compressing does not shrink is kept as it is.
    if (body < value.size()) {
      scratch[0] = format::kValueZstd;
    } else {
      scratch[0] = format::kValueRaw;
      if (!value.empty()) std::memcpy(scratch.data() + format::kValueTagSize, value.data(), value.size());
      body = value.size();
    }
    records.Add({scratch.data(), format::kValueTagSize + body});
    section.original_bytes += value.size();
    section.stored_bytes += format::kValueTagSize + body;
    max_value_length = std::max<std::uint64_t>(max_value_length, value.size());
  }

  format::DictionaryTrailer trailer;
  trailer.original_bytes = section.original_bytes;
  trailer.stored_bytes = section.stored_bytes;
  trailer.max_value_length = static_cast<std::uint32_t>(max_value_length);
  trailer.dictionary_length = static_cast<std::uint32_t>(dictionary.size());
  std::vector<std::uint8_t> record(dictionary.size() + format::kDictionaryTrailerSize);
  if (!dictionary.empty()) std::memcpy(record.data(), dictionary.data(), dictionary.size());
  trailer.EncodeTo(record.data() + dictionary.size());
  records.Add(record);
  section.dictionary_size = dictionary.size();
  return section;
}

}  // namespace kalvex::writer
