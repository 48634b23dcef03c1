// The store's one layer over the POSIX file calls: a descriptor owner, open, write-all,
// fsync and rename, each retried on EINTR where a retry is safe, each failure turned
// into KalvIOError text in one way.
//
// Paths reach the OS as C strings, so a path holding a zero byte is refused before any
// call: the OS would silently act on the shorter path up to the zero.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/result.h"

namespace kalvex::io {

// Owns a descriptor; move-only. Closing ignores a failure: by then the data has been
// synced, or the operation has already failed for a better reason.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }

  int get() const { return fd_; }
  void Close();

 private:
  int fd_ = -1;
};

// KalvIOError "{context}: file name contained an unexpected NUL byte" when `path` holds
// a zero byte; nothing otherwise.
Status CheckPathForOs(std::string_view path, std::string_view context);

// open(2), retried on EINTR. Fails with KalvIOError "{context}: {os error text}", or
// CheckPathForOs's error.
Result<FileDescriptor> Open(const std::string& path, int flags, mode_t mode, std::string_view context);

// fsync(2), retried on EINTR. Fails with KalvIOError "{os error text}".
Status Sync(const FileDescriptor& fd);

// rename(2). Fails with KalvIOError "rename: {os error text}".
Status Rename(const std::string& from, const std::string& to);

// Whether a rename onto `destination` would replace something a build may replace: an
// absent path, a regular file, a symbolic link (the link itself is replaced, its target
// untouched) or a directory (the rename itself refuses that, leaving everything as it
// was). A device, FIFO or socket fails with KalvIOError "cannot replace {destination}: it
// is a {what}, not a regular file": replacing /dev/null with a store would break the system.
Status CheckReplaceable(const std::string& destination);

// Makes a rename inside the directory holding `path` (the part before its last "/", or
// "." when there is none) survive a power loss: fsync(2) on the directory. A directory
// that cannot be opened for reading, or a file system that cannot sync directories
// (EINVAL), gives what the rename alone gives and is not an error; any other failure of
// the sync is KalvIOError "sync directory: {os error text}".
Status SyncDirectoryOf(const std::string& path);

// Why a write of everything stopped: the errno of a failed call, or 0 when a call wrote
// nothing; `stalled_at` is the start of the first byte not written.
struct WriteFailure {
  int errnum;
  const void* stalled_at;
};

// Writes the pieces in order until every byte is out: one write(2) for a single piece,
// writev(2) for more; an interrupted call is repeated, a partial one continued where the
// kernel stopped. Consumes `pieces` (their bases and lengths are advanced).
// REQUIRES: count <= IOV_MAX.
std::optional<WriteFailure> WriteAll(int fd, iovec* pieces, std::size_t count);
std::optional<WriteFailure> WriteAll(int fd, const void* data, std::size_t length);
// The same at a file offset (pwrite(2)), leaving the descriptor's position alone: what a
// writer that learns a header's fields last writes over the header's placeholder.
std::optional<WriteFailure> WriteAllAt(int fd, const void* data, std::size_t length, std::uint64_t offset);

// Reads exactly `length` bytes at `offset` (pread(2)), repeating interrupted and partial
// calls. The errno of a failed call, or 0 when the file ends first; nothing on success.
std::optional<int> ReadAllAt(int fd, void* out, std::size_t length, std::uint64_t offset);

// Copies `length` bytes of `from`, starting at `offset`, to `to` at its file position,
// which advances: copy_file_range(2), done by the kernel (on file systems that share
// extents, without copying the bytes at all), or, where the kernel cannot copy between the
// two files, a read and a write through a buffer of its own. Fails as WriteAll does.
std::optional<WriteFailure> CopyAll(int from, std::uint64_t offset, int to, std::uint64_t length);

}  // namespace kalvex::io
