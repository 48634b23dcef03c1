#include "core/reader/value_decoder.h"

// Bare blocks and magicless frames (format/compression_layout.h) are in the part of zstd.h
// that asks for this; later libzstd releases mark the block calls deprecated in favour of
// frames, which cost a small value a fifth of its bytes: they are kept, their warning
// silenced.
#define ZSTD_STATIC_LINKING_ONLY
#define ZSTD_DISABLE_DEPRECATE_WARNINGS
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

static_assert(format::kMaxBlockValue == ZSTD_BLOCKSIZE_MAX);

// This thread's decoding context. A context holds no dictionary of its own (each call
// names the reader's), so one serves every reader the thread reads. It reads frames
// without their magic number, as the file holds them.
ZSTD_DCtx* ThreadContext() {
  thread_local std::unique_ptr<ZSTD_DCtx, FreeDCtx> context;
  if (!context) {
    context.reset(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless))) {
      context.reset();
      throw std::bad_alloc();
    }
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

StoreError ValueDecoder::Damaged(std::span<const std::uint8_t> stored, const std::string& why) const {
  return StoreError::Corrupt("value at " + std::to_string(OffsetOf(stored)) + " " + why);
}

Result<std::size_t> ValueDecoder::DecodedSize(std::span<const std::uint8_t> stored) const {
  format::ValueHead head;
  if (!format::DecodeValueHead(stored.data(), stored.size(), head)) return Damaged(stored, "has no readable head");
  std::uint64_t length = 0;
  switch (head.kind) {
    case format::StoredKind::kRaw:
      return stored.size() - head.size;
    case format::StoredKind::kBlock:
      length = head.block_length;
      break;
    case format::StoredKind::kFrame: {
      ZSTD_frameHeader frame;
      const std::uint8_t* body = stored.data() + head.size;
      const std::size_t read =
          ZSTD_getFrameHeader_advanced(&frame, body, stored.size() - head.size, ZSTD_f_zstd1_magicless);
      if (read != 0 || frame.frameType != ZSTD_frame || frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
        return Damaged(stored, "holds no readable frame");
      }
      length = frame.frameContentSize;
      break;
    }
  }
  if (length > trailer_.max_value_length) {
    return Damaged(stored, "claims " + std::to_string(length) + " bytes, more than the store's largest value");
  }
  return static_cast<std::size_t>(length);
}

Status ValueDecoder::Decode(std::span<const std::uint8_t> stored, std::uint8_t* out, std::size_t length) const {
  // Neither a frame nor a block carries a checksum, and a damaged one may well decode, to
  // another value: the record's CRC is what tells. Checking it costs a few percent of
  // decoding.
  const std::uint8_t* record = stored.data() - format::kRecordHeadSize;
  if (crc32::Value(stored.data(), stored.size()) != format::RecordPayloadCrc(record)) {
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(OffsetOf(stored)));
  }
  // The head was read by DecodedSize, from these very bytes.
  format::ValueHead head;
  if (!format::DecodeValueHead(stored.data(), stored.size(), head)) return Damaged(stored, "has no readable head");
  const std::uint8_t* body = stored.data() + head.size;
  const std::size_t body_size = stored.size() - head.size;
  if (head.kind == format::StoredKind::kRaw) {
    if (length != 0) std::memcpy(out, body, length);
    return {};
  }
  ZSTD_DCtx* context = ThreadContext();
  std::size_t made = 0;
  if (head.kind == format::StoredKind::kBlock) {
    // A block is decoded with the dictionary's tables and content, as it was made.
    made = dictionary_ ? ZSTD_decompressBegin_usingDDict(context, dictionary_.get()) : ZSTD_decompressBegin(context);
    if (!ZSTD_isError(made)) made = ZSTD_decompressBlock(context, out, length, body, body_size);
  } else {
    made = dictionary_ ? ZSTD_decompress_usingDDict(context, out, length, body, body_size, dictionary_.get())
                       : ZSTD_decompressDCtx(context, out, length, body, body_size);
  }
  if (ZSTD_isError(made)) return Damaged(stored, std::string("does not decompress: ") + ZSTD_getErrorName(made));
  if (made != length) {
    return Damaged(stored,
                   "decompresses to " + std::to_string(made) + " bytes, not the " + std::to_string(length) + " it claims");
  }
  return {};
}

}  // namespace kalvex::reader
