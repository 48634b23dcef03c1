#include "core/writer/writer.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/endian.h"
#include "core/format/layout.h"
#include "core/internal_failure.h"
#include "core/writer/file_sink.h"
#include "core/writer/key_map.h"
#include "core/writer/key_order.h"
#include "core/writer/object_list.h"

namespace kalvex::writer {

struct Writer::State {
  ObjectList objects;
  KeyMap keys;
};

namespace {

// A file no larger than this goes out in one write call, from one buffer.
constexpr std::size_t kSmallFileSize = 8192;
// Staging for the index section of a larger file: enough that write calls are few, small
// next to the sections themselves.
constexpr std::size_t kStagingSize = std::size_t{1} << 20;

// Collects bytes in a fixed buffer and folds each full buffer into a running CRC-32:
// the CRC engine runs on long inputs instead of on every few-byte field.
class CrcBatcher {
 public:
  explicit CrcBatcher(std::uint32_t crc) : crc_(crc) {}

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
    used_ = 0;
  }

  std::uint32_t crc_;
  std::uint64_t length_ = 0;
  std::size_t used_ = 0;
  std::uint8_t buffer_[64 << 10];
};

// Emits the index section, one entry per item, in the items' order. Stops at the first
// failed piece.
template <class Out>
bool EncodeIndex(const std::vector<IndexItem>& order, Out& out) {
  // The keys lie in insertion order, the items in key order: ask for keys early.
  constexpr std::size_t kPrefetchDistance = 16;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + kPrefetchDistance < order.size()) __builtin_prefetch(order[i + kPrefetchDistance].key());
    const IndexItem& item = order[i];
    std::uint8_t length[2];
    std::uint8_t offset[8];
    StoreBe16(length, static_cast<std::uint16_t>(item.length()));
    StoreBe64(offset, item.object_offset());
    if (!out.Append(length, sizeof length) || !out.Append(item.key(), item.length()) ||
        !out.Append(offset, sizeof offset)) {
      return false;
    }
  }
  return true;
}

// Owns a descriptor. A failed close is ignored: the data has been synced by then, or the
// build has already failed for a better reason.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

StoreError TooMany(std::uint64_t count, const char* what, std::uint64_t maximum) {
  return StoreError::Invalid(std::to_string(count) + " " + what + " exceeds format maximum of " +
                             std::to_string(maximum));
}

StoreError TooLong(const char* what, std::uint64_t length, std::uint64_t maximum) {
  return StoreError::Invalid(std::string(what) + " is " + std::to_string(length) +
                             " bytes, format maximum is " + std::to_string(maximum));
}

}  // namespace

Writer::Writer() : state_(std::make_unique<State>()) {}
Writer::~Writer() = default;

std::uint64_t Writer::AddObject(std::span<const std::uint8_t> payload) {
  return state_->objects.Add(payload);
}

Status Writer::AddKey(std::span<const std::uint8_t> key, std::uint64_t obj_id) {
  const std::uint64_t have = state_->objects.size();
  if (obj_id >= have) {
    return StoreError::Invalid("obj_id " + std::to_string(obj_id) + " out of range (have " +
                               std::to_string(have) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) {
    return TooLong("key", key.size(), format::kMaxKeyLength);
  }
  KeyMap& keys = state_->keys;
  // One key more than the format holds could never be built; refusing it here, with the
  // message Build would give, keeps the map within what its slots can index.
  if (keys.size() >= KeyMap::kMaxEntries && !keys.Contains(key)) {
    return TooMany(keys.size() + 1, "keys", format::kMaxKeys);
  }
  keys.Put(key, obj_id);
  return {};
}

std::uint64_t Writer::num_objects() const { return state_->objects.size(); }
std::uint64_t Writer::num_keys() const { return state_->keys.size(); }

Result<BuildReport> Writer::Build(std::string_view path) const {
  const ObjectList& objects = state_->objects;
  const KeyMap& keys = state_->keys;
  const std::string tmp_path = TemporaryPathFor(path);

  // Every check comes before the file system is touched.
  if (objects.size() > format::kMaxObjects) {
    return TooMany(objects.size(), "objects", format::kMaxObjects);
  }
  if (keys.size() > format::kMaxKeys) {
    return TooMany(keys.size(), "keys", format::kMaxKeys);
  }
  if (const auto& oversized = objects.first_oversized()) {
    return TooLong("object", oversized->length, format::kMaxPayloadLength);
  }

  // The data section already exists (the object list's chunks) together with its CRC;
  // the index section is produced twice from the sorted keys, once here for its length
  // and CRC, which the header needs first, and once more while writing. Encoding twice
  // is cheaper than holding the whole section in memory.
  if (objects.data_length() > IndexItem::kMaxObjectOffset) {
    throw InternalFailure("data section beyond the offsets a sort item holds");
  }
  const std::vector<IndexItem> order = SortByKey(keys.entries(), objects.offsets());
  auto crc = std::make_unique<CrcBatcher>(objects.data_crc());
  EncodeIndex(order, *crc);
  const std::uint64_t index_length = crc->length();

  format::Header header;
  header.num_keys = static_cast<std::uint32_t>(keys.size());
  header.num_objects = static_cast<std::uint32_t>(objects.size());
  header.index_offset = format::kDataOffset + objects.data_length();
  header.file_crc32 = crc->Finish();
  crc.reset();
  std::uint8_t header_bytes[format::Header::kEncodedLength];
  header.EncodeTo(header_bytes);

  BuildReport report;
  report.num_objects = objects.size();
  report.num_keys = keys.size();
  report.file_size = header.index_offset + index_length;

  // A small file is assembled whole in the staging buffer and leaves in one write call;
  // a larger one passes the object list's chunks to the file as they are.
  const bool small = report.file_size <= kSmallFileSize;
  FileSink sink(-1, small ? kSmallFileSize : kStagingSize);

  // The path is handed to the OS as a C string; the zero byte would silently cut it.
  if (path.find('\0') != std::string_view::npos) {
    return StoreError::IO(std::string("open tmp: ") + kNulInPathText);
  }
  int raw_fd;
  do {
    raw_fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (raw_fd < 0 && errno == EINTR);
  if (raw_fd < 0) return StoreError::IO("open tmp: " + OsErrorText(errno));
  FileDescriptor fd(raw_fd);
  sink.set_fd(fd.get());

  // From here on a failure leaves the temporary file behind; only the rename touches
  // the destination, so the destination is never damaged.
  sink.Append(header_bytes, sizeof header_bytes);
  for (std::size_t i = 0; i < objects.chunk_count(); ++i) {
    const std::span<const std::uint8_t> chunk = objects.chunk(i);
    if (small) {
      sink.Append(chunk.data(), chunk.size());
    } else {
      sink.AppendReference(chunk);
    }
  }
  EncodeIndex(order, sink);
  if (Status written = sink.Finish(); !written.ok()) return written.take_error();

  int synced;
  do {
    synced = ::fsync(fd.get());
  } while (synced < 0 && errno == EINTR);
  if (synced < 0) return StoreError::IO(OsErrorText(errno));
  fd.Close();

  if (::rename(tmp_path.c_str(), std::string(path).c_str()) < 0) {
    return StoreError::IO("rename: " + OsErrorText(errno));
  }
  return report;
}

std::string TemporaryPathFor(std::string_view destination) {
  // The last path component that is neither empty nor ".", located in `destination`.
  std::size_t name_begin = std::string_view::npos;
  std::size_t name_end = 0;
  for (std::size_t pos = 0; pos <= destination.size();) {
    std::size_t slash = destination.find('/', pos);
    if (slash == std::string_view::npos) slash = destination.size();
    const std::string_view part = destination.substr(pos, slash - pos);
    if (!part.empty() && part != ".") {
      name_begin = pos;
      name_end = slash;
    }
    pos = slash + 1;
  }
  if (name_begin == std::string_view::npos) return std::string(destination);
  const std::string_view name = destination.substr(name_begin, name_end - name_begin);
  if (name == "..") return std::string(destination);

  // The stem drops the extension: from the last "." on, unless that "." opens the name.
  std::size_t stem_length = name.size();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) stem_length = dot;
  std::string tmp(destination.substr(0, name_begin + stem_length));
  tmp += ".klvx.tmp";
  return tmp;
}

std::string SummaryLine(std::string_view path, const BuildReport& report) {
  // Tenths of a KiB, rounded to nearest with ties to even on the exact quotient.
  const unsigned __int128 scaled = static_cast<unsigned __int128>(report.file_size) * 10;
  auto tenths = static_cast<std::uint64_t>(scaled / 1024);
  const auto remainder = static_cast<std::uint64_t>(scaled % 1024);
  if (remainder > 512 || (remainder == 512 && (tenths & 1) != 0)) ++tenths;

  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  ";
  line += std::to_string(report.num_objects);
  line += " objects \u00B7 ";
  line += std::to_string(report.num_keys);
  line += " keys \u00B7 ";
  line += std::to_string(tenths / 10);
  line += '.';
  line += static_cast<char>('0' + tenths % 10);
  line += " KB\n";
  return line;
}

std::optional<std::string> PrintSummaryLine(std::string_view path, const BuildReport& report) {
  const std::string line = SummaryLine(path, report);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return std::nullopt;  // no standard output: nothing to tell
      return OsErrorText(errno);
    }
    if (written == 0) return std::string("failed to write whole buffer");
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return std::nullopt;
}

}  // namespace kalvex::writer
