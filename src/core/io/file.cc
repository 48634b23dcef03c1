#include "core/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

namespace kalvex::io {

namespace {
// The text wherever a path with an embedded zero byte meets the operating system.
constexpr const char* kNulInPathText = "file name contained an unexpected NUL byte";
}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void FileDescriptor::Close() {
  // Not retried on EINTR: Linux releases the descriptor even then, and a retry could
  // close one that another thread has just been given.
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Status CheckPathForOs(std::string_view path, std::string_view context) {
  if (path.find('\0') == std::string_view::npos) return {};
  return StoreError::IO(std::string(context) + ": " + kNulInPathText);
}

Result<FileDescriptor> Open(const std::string& path, int flags, mode_t mode, std::string_view context) {
  if (Status usable = CheckPathForOs(path, context); !usable.ok()) return usable.take_error();
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return StoreError::IO(std::string(context) + ": " + OsErrorText(errno), errno, path);
  return FileDescriptor(fd);
}

Status Sync(const FileDescriptor& fd) {
  int synced;
  do {
    synced = ::fsync(fd.get());
  } while (synced < 0 && errno == EINTR);
  if (synced < 0) return StoreError::IO(OsErrorText(errno), errno);
  return {};
}

Status Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) < 0) return StoreError::IO("rename: " + OsErrorText(errno), errno, to);
  return {};
}

Status CheckReplaceable(const std::string& destination) {
  struct stat found;
  // A path that cannot be examined is left to the open and the rename to report.
  if (::lstat(destination.c_str(), &found) < 0) return {};
  const char* what = nullptr;
  if (S_ISCHR(found.st_mode)) what = "character device";
  if (S_ISBLK(found.st_mode)) what = "block device";
  if (S_ISFIFO(found.st_mode)) what = "FIFO";
  if (S_ISSOCK(found.st_mode)) what = "socket";
  if (what == nullptr) return {};
  return StoreError::IO("cannot replace " + destination + ": it is a " + what + ", not a regular file", 0,
                        destination);
}

Status SyncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {};
  const FileDescriptor held(fd);
  int synced;
  do {
    synced = ::fsync(held.get());
  } while (synced < 0 && errno == EINTR);
  if (synced < 0 && errno != EINVAL) {
    return StoreError::IO("sync directory: " + OsErrorText(errno), errno, directory);
  }
  return {};
}

std::optional<WriteFailure> WriteAll(int fd, iovec* pieces, std::size_t count) {
  while (count > 0) {
    const ssize_t written = count == 1 ? ::write(fd, pieces->iov_base, pieces->iov_len)
                                       : ::writev(fd, pieces, static_cast<int>(count));
    if (written < 0) {
      if (errno == EINTR) continue;
      return WriteFailure{errno, pieces->iov_base};
    }
    if (written == 0) return WriteFailure{0, pieces->iov_base};
    // Skip what went out; a partly written piece continues where the kernel stopped.
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<std::uint8_t*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
  return std::nullopt;
}

std::optional<WriteFailure> WriteAll(int fd, const void* data, std::size_t length) {
  if (length == 0) return std::nullopt;  // a write of nothing would read as a stall
  iovec piece{const_cast<void*>(data), length};
  return WriteAll(fd, &piece, 1);
}

std::optional<WriteFailure> WriteAllAt(int fd, const void* data, std::size_t length, std::uint64_t offset) {
  const auto* next = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const ssize_t written = ::pwrite(fd, next, length, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return WriteFailure{errno, next};
    }
    if (written == 0) return WriteFailure{0, next};
    next += written;
    offset += static_cast<std::uint64_t>(written);
    length -= static_cast<std::size_t>(written);
  }
  return std::nullopt;
}

std::optional<int> ReadAllAt(int fd, void* out, std::size_t length, std::uint64_t offset) {
  auto* next = static_cast<std::uint8_t*>(out);
  while (length > 0) {
    const ssize_t got = ::pread(fd, next, length, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    next += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return std::nullopt;
}

std::optional<WriteFailure> CopyAll(int from, std::uint64_t offset, int to, std::uint64_t length) {
#if defined(__linux__)
  while (length > 0) {
    auto in = static_cast<loff_t>(offset);
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30));
    const ssize_t copied = ::copy_file_range(from, &in, to, nullptr, step, 0);
    if (copied < 0) {
      if (errno == EINTR) continue;
      // Files the kernel cannot copy between (other file systems on old kernels, special
      // files): the rest goes through user space.
      if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) break;
      return WriteFailure{errno, nullptr};
    }
    if (copied == 0) return WriteFailure{0, nullptr};  // the source ended first
    offset += static_cast<std::uint64_t>(copied);
    length -= static_cast<std::uint64_t>(copied);
  }
#endif
  constexpr std::size_t kBuffer = std::size_t{1} << 20;
  std::unique_ptr<std::uint8_t[]> buffer;
  if (length > 0) buffer.reset(new std::uint8_t[kBuffer]);
  while (length > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, kBuffer));
    if (const auto failed = ReadAllAt(from, buffer.get(), step, offset)) return WriteFailure{*failed, nullptr};
    if (const auto failed = WriteAll(to, buffer.get(), step)) return WriteFailure{failed->errnum, nullptr};
    offset += step;
    length -= step;
  }
  return std::nullopt;
}

}  // namespace kalvex::io
