// OpenExclusive: the temporary file of a build, held by that build alone.
//
// Every build of a destination writes the same temporary path (derived from the
// destination, so that callers can find it), and two builds in different processes, or
// in threads that do not hold the interpreter lock, may reach it at once. Opening it with
// truncation would let them write into one file and publish each other's data. Instead:
//
//   1. open without truncating, never through a symbolic link (a link planted in a shared
//      directory would send the build's bytes into another file), creating it if absent;
//   2. refuse anything but a regular file (a FIFO or a device is no place for a store);
//   3. take an exclusive, non-blocking flock: a live build holding it makes this one fail
//      at once; a file left by a process that died is unlocked and is reused;
//   4. check that the path still names the file held: a build that opened the file just
//      before its previous holder renamed it away holds what is now that build's
//      published destination, and must let go of it and open the path again;
//   5. only then truncate.
//
// Invariant: while the returned descriptor is open, no other build writes the file the
// path names. The caller keeps it open until after its rename, so that the file cannot
// be taken between the last write and the rename.
#pragma once

#include <string>
#include <string_view>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::io {

// Opens `path` for writing as described above, empty, with mode 0666 less the umask when
// it is created. Failures are KalvIOError "{context}: {reason}"; a failure before the
// lock is held changes nothing on disk (at most an empty file is created).
Result<FileDescriptor> OpenExclusive(const std::string& path, std::string_view context);

}  // namespace kalvex::io
