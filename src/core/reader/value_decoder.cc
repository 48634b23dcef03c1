#include "core/reader/value_decoder.h"

#include <zstd.h>

#include <cstring>
#include <new>
#include <string>

#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace kalvex::reader {

namespace {

struct FreeDCtx {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// This thread's decoding context. A context holds no dictionary of its own (each call
// names the reader's), so one serves every reader the thread reads.
ZSTD_DCtx* ThreadContext() {
  thread_local std::unique_ptr<ZSTD_DCtx, FreeDCtx> context;
  if (!context) {
    context.reset(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
  }
  return context.get();
}

StoreError DictionaryDamaged(const std::string& why) {
  return StoreError::Corrupt("compression dictionary record " + why);
}

}  // namespace

Result<ValueDecoder> ValueDecoder::Open(const std::uint8_t* file, std::uint64_t size, std::uint64_t record_end) {
  constexpr std::uint64_t kSmallest = format::kRecordHeadSize + format::kDictionaryTrailerSize;
  if (record_end > size || record_end < format::kDataOffset + kSmallest) {
    return DictionaryDamaged("cannot end at " + std::to_string(record_end));
  }
  ValueDecoder decoder;
  decoder.file_ = file;
  decoder.trailer_ = format::DictionaryTrailer::DecodeFrom(file + record_end - format::kDictionaryTrailerSize);
  const format::DictionaryTrailer& trailer = decoder.trailer_;
  if (trailer.magic != format::kDictionaryMagic) return DictionaryDamaged("not found before " + std::to_string(record_end));
  if (trailer.codec != format::kCodecZstd) {
    return DictionaryDamaged("names codec " + std::to_string(trailer.codec) + ", not zstd");
  }
  const std::uint64_t payload = std::uint64_t{trailer.dictionary_length} + format::kDictionaryTrailerSize;
  if (record_end - format::kDataOffset - format::kRecordHeadSize < payload) {
    return DictionaryDamaged("of " + std::to_string(payload) + " bytes cannot end at " + std::to_string(record_end));
  }
  decoder.record_offset_ = record_end - payload - format::kRecordHeadSize;
  const std::uint8_t* record = file + decoder.record_offset_;
  if (format::RecordPayloadLength(record) != payload) {
    return DictionaryDamaged("at " + std::to_string(decoder.record_offset_) + " holds " +
                             std::to_string(format::RecordPayloadLength(record)) + " bytes, its trailer says " +
                             std::to_string(payload));
  }
  // The dictionary is read whole to be prepared, so checking it first costs little: a
  // damaged one would decode every value wrongly.
  if (crc32::Value(record + format::kRecordHeadSize, payload) != format::RecordPayloadCrc(record)) {
    return DictionaryDamaged("at " + std::to_string(decoder.record_offset_) + " fails its CRC32");
  }
  if (trailer.dictionary_length != 0) {
    ZSTD_DDict* prepared = ZSTD_createDDict(record + format::kRecordHeadSize, trailer.dictionary_length);
    if (prepared == nullptr) return DictionaryDamaged("holds no usable dictionary");
    decoder.dictionary_.reset(prepared, ZSTD_freeDDict);
  }
  return decoder;
}

std::uint64_t ValueDecoder::record_size() const {
  return format::kRecordHeadSize + trailer_.dictionary_length + format::kDictionaryTrailerSize;
}

std::uint64_t ValueDecoder::OffsetOf(std::span<const std::uint8_t> stored) const {
  return static_cast<std::uint64_t>(stored.data() - file_) - format::kRecordHeadSize;
}

Result<std::size_t> ValueDecoder::DecodedSize(std::span<const std::uint8_t> stored) const {
  if (stored.empty()) return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " has no tag");
  const std::span<const std::uint8_t> body = stored.subspan(format::kValueTagSize);
  switch (stored[0]) {
    case format::kValueRaw:
      return body.size();
    case format::kValueZstd: {
      const unsigned long long length = ZSTD_getFrameContentSize(body.data(), body.size());
      if (length == ZSTD_CONTENTSIZE_ERROR || length == ZSTD_CONTENTSIZE_UNKNOWN) {
        return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " holds no readable frame");
      }
      if (length > trailer_.max_value_length) {
        return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " claims " +
                                   std::to_string(length) + " bytes, more than the store's largest value");
      }
      return static_cast<std::size_t>(length);
    }
    default:
      return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " has unknown tag " +
                                 std::to_string(stored[0]));
  }
}

Status ValueDecoder::Decode(std::span<const std::uint8_t> stored, std::uint8_t* out, std::size_t length) const {
  // Frames carry no checksum of their own, and a damaged one may well decode, to another
  // value: the record's CRC is what tells. Checking it costs a few percent of decoding.
  const std::uint8_t* head = stored.data() - format::kRecordHeadSize;
  if (crc32::Value(stored.data(), stored.size()) != format::RecordPayloadCrc(head)) {
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(OffsetOf(stored)));
  }
  // The tag was read by DecodedSize; a raw value is its body.
  const std::span<const std::uint8_t> body = stored.subspan(format::kValueTagSize);
  if (stored[0] == format::kValueRaw) {
    if (length != 0) std::memcpy(out, body.data(), length);
    return {};
  }
  ZSTD_DCtx* context = ThreadContext();
  const std::size_t made =
      dictionary_ ? ZSTD_decompress_usingDDict(context, out, length, body.data(), body.size(), dictionary_.get())
                  : ZSTD_decompressDCtx(context, out, length, body.data(), body.size());
  if (ZSTD_isError(made)) {
    return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) +
                               " does not decompress: " + ZSTD_getErrorName(made));
  }
  if (made != length) {
    return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " decompresses to " +
                               std::to_string(made) + " bytes, its frame says " + std::to_string(length));
  }
  return {};
}

}  // namespace kalvex::reader
