#include "core/io/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kalvex::io {

namespace {

// How often the path may change hands between our open and our lock before we give up.
// Each round means another build renamed the file away in that window, which takes a
// whole build; a handful of rounds is already an unlikely race.
constexpr int kMaxOpenRounds = 8;

StoreError Refused(std::string_view context, const std::string& path, std::string_view reason,
                   int errnum = 0) {
  return StoreError::IO(std::string(context) + ": " + path + " " + std::string(reason), errnum, path);
}

StoreError Failed(std::string_view context, const std::string& path, int errnum) {
  return StoreError::IO(std::string(context) + ": " + OsErrorText(errnum), errnum, path);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

template <class Call>
int RetryOnInterrupt(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

Result<FileDescriptor> OpenExclusive(const std::string& path, std::string_view context) {
  if (Status usable = CheckPathForOs(path, context); !usable.ok()) return usable.take_error();
  for (int round = 0; round < kMaxOpenRounds; ++round) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a reader; it is cleared below
    // once the file is known to be a regular one.
    const int raw = RetryOnInterrupt(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666); });
    if (raw < 0) {
      const int errnum = errno;
      struct stat link;
      if (errnum == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        return Refused(context, path, "is a symbolic link (a build never writes through one)", errnum);
      }
      if (errnum == ENXIO) return Refused(context, path, "is not a regular file", errnum);  // FIFO, socket
      return Failed(context, path, errnum);
    }
    FileDescriptor fd(raw);

    struct stat held;
    if (::fstat(fd.get(), &held) < 0) return Failed(context, path, errno);
    if (!S_ISREG(held.st_mode)) return Refused(context, path, "is not a regular file");
    // A second name would let the truncation below reach a file that lives elsewhere.
    if (held.st_nlink > 1) return Refused(context, path, "has other hard links");
    if (::fcntl(fd.get(), F_SETFL, 0) < 0) return Failed(context, path, errno);

    if (RetryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) < 0) {
      if (errno == EWOULDBLOCK) return Refused(context, path, "is being written by another build", errno);
      return Failed(context, path, errno);
    }

    struct stat named;
    if (::lstat(path.c_str(), &named) < 0 || !SameFile(named, held)) continue;  // renamed away

    if (RetryOnInterrupt([&] { return ::ftruncate(fd.get(), 0); }) < 0) return Failed(context, path, errno);
    return fd;
  }
  return Refused(context, path, "kept being replaced by other builds while opening it");
}

}  // namespace kalvex::io
