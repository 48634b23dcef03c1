#include "core/writer/whole_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/io/file.h"

namespace kalvex::writer {

namespace {
constexpr std::size_t kChunk = std::size_t{1} << 20;
}  // namespace

bool IsWholeStore(int fd) {
  struct stat st;
  if (::fstat(fd, &st) < 0 || st.st_size < static_cast<off_t>(format::kHeaderSize)) return false;
  std::uint8_t head[format::kHeaderSize];
  if (io::ReadAllAt(fd, head, sizeof head, 0)) return false;
  const format::Header header = format::Header::DecodeFrom(head);
  if (header.magic != format::kMagic || header.version != format::kVersion) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (header.index_offset < format::kHeaderSize || header.index_offset > size) return false;

  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
  std::uint32_t crc = 0;
  for (std::uint64_t at = format::kHeaderSize; at < size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - at));
    if (io::ReadAllAt(fd, buffer.get(), n, at)) return false;
    crc = crc32::Extend(crc, buffer.get(), n);
    at += n;
  }
  return crc == header.file_crc32;
}

}  // namespace kalvex::writer
