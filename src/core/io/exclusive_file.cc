#include "core/io/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>

#include <cstdio>  // renameat2
#endif

#include <cerrno>

namespace kalvex::io {

namespace {

// How often a path may change hands between our look and our lock before we give up.
// Each round means another build renamed a file onto it in that window, which takes a
// whole build; a handful of rounds is already an unlikely race.
constexpr int kMaxOpenRounds = 8;

// The extended attribute that says "a build's temporary file, not yet published".
constexpr const char* kUnpublishedMark = "user.kalvex.unpublished";

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

// Marking is best effort: a file system without extended attributes only makes a whole
// leftover look like someone's data (see the header).
bool IsMarked(int fd) {
#if defined(__linux__)
  return ::fgetxattr(fd, kUnpublishedMark, nullptr, 0) >= 0;
#else
  (void)fd;
  return false;
#endif
}

void Mark(int fd) {
#if defined(__linux__)
  (void)::fsetxattr(fd, kUnpublishedMark, "", 0, 0);
#else
  (void)fd;
#endif
}

void Unmark(int fd) {
#if defined(__linux__)
  (void)::fremovexattr(fd, kUnpublishedMark);
#else
  (void)fd;
#endif
}

// rename(2) that fails with EEXIST when `to` exists, where the OS and file system offer
// it; elsewhere a plain rename (the race it closes stays open there).
int RenameNoReplace(const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  return ::rename(from.c_str(), to.c_str());
}

// What now stands at `path` instead of the file expected there, for a message.
const char* WhatReplaced(const std::string& path) {
  struct stat found;
  return ::lstat(path.c_str(), &found) < 0 ? "it was removed" : "another file replaced it";
}

}  // namespace

Result<FileDescriptor> OpenExclusive(const std::string& path, std::string_view context, IsKeptData kept) {
  if (Status usable = CheckPathForOs(path, context); !usable.ok()) return usable.take_error();
  for (int round = 0; round < kMaxOpenRounds; ++round) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a reader; it is cleared below
    // once the file is known to be a regular one.
    const int raw = RetryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666); });
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
    if (held.st_nlink > 1) return Refused(context, path, "has other hard links");
    if (::fcntl(fd.get(), F_SETFL, 0) < 0) return Failed(context, path, errno);

    if (RetryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) < 0) {
      if (errno == EWOULDBLOCK) return Refused(context, path, "is being written by another build", errno);
      return Failed(context, path, errno);
    }

    struct stat named;
    if (::lstat(path.c_str(), &named) < 0 || !SameFile(named, held)) continue;  // renamed away

    if (held.st_size > 0 && !IsMarked(fd.get()) && kept(fd.get())) {
      return Refused(context, path,
                     "holds a whole store that no build is writing; a build never overwrites one "
                     "(move or remove it)");
    }
    Mark(fd.get());
    if (RetryOnInterrupt([&] { return ::ftruncate(fd.get(), 0); }) < 0) return Failed(context, path, errno);
    return fd;
  }
  return Refused(context, path, "kept being replaced by other builds while opening it");
}

Status Publish(const FileDescriptor& held, const std::string& tmp, const std::string& destination) {
  constexpr std::string_view kContext = "publish";
  struct stat mine;
  if (::fstat(held.get(), &mine) < 0) return Failed(kContext, tmp, errno);
  for (int round = 0; round < kMaxOpenRounds; ++round) {
    // Hold the file the destination names, if any, through the rename: a live build
    // holding it as its temporary file makes this fail, and a build that opens the path
    // from here on finds it locked (by this descriptor, then by `held`). A link is
    // replaced, never followed, and no build writes through one; a file this process
    // may not open cannot be held, and its rename goes ahead unguarded.
    const int raw = RetryOnInterrupt(
        [&] { return ::open(destination.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    const bool absent = raw < 0 && errno == ENOENT;
    FileDescriptor there(raw);
    if (there.get() >= 0) {
      if (RetryOnInterrupt([&] { return ::flock(there.get(), LOCK_EX | LOCK_NB); }) < 0 && errno == EWOULDBLOCK) {
        return Refused(kContext, destination, "is being written by another build (it is that build's temporary file)",
                       EWOULDBLOCK);
      }
      struct stat locked;
      struct stat named;
      if (::fstat(there.get(), &locked) < 0 || ::lstat(destination.c_str(), &named) < 0 ||
          !SameFile(locked, named)) {
        continue;  // replaced between the open and the lock
      }
    }

    // Our file must still be the one the temporary path names: a rename onto it by
    // something outside these rules would otherwise publish that file's bytes as ours.
    struct stat named;
    if (::lstat(tmp.c_str(), &named) < 0 || !SameFile(named, mine)) {
      return Refused(kContext, tmp, std::string("no longer names this build's file: ") + WhatReplaced(tmp) +
                                        "; nothing was published");
    }
    if (!absent) {
      if (Status renamed = Rename(tmp, destination); !renamed.ok()) return renamed;
    } else if (RenameNoReplace(tmp, destination) < 0) {
      if (errno == EEXIST) continue;  // created since we looked: hold it first
      return StoreError::IO("rename: " + OsErrorText(errno), errno, destination);
    }
    if (::lstat(destination.c_str(), &named) < 0 || !SameFile(named, mine)) {
      return Refused(kContext, destination, std::string("is not the file this build wrote: ") +
                                                WhatReplaced(destination) + " right after the rename");
    }
    Unmark(held.get());
    return {};
  }
  return Refused(kContext, destination, "kept being replaced by other builds while publishing");
}

}  // namespace kalvex::io
