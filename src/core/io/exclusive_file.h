// The temporary file of a build, from its exclusive open to its publication under the
// destination's name, held by that build alone throughout.
//
// Every build of a destination writes the same temporary path (derived from the
// destination, so that callers can find it), and two builds in different processes, or
// in threads that do not hold the interpreter lock, may reach it at once; one build's
// destination may even be another's temporary path. The rules that keep them apart:
//
// - A build holds an exclusive flock on its temporary file from its open until after its
//   rename. The lock is how "live" is known: a file whose lock nobody holds belongs to
//   no running build.
// - OpenExclusive (below) never writes into a file another build holds, nor through a
//   link, nor into a file that holds someone's data: a whole store no build marks as its
//   own (see "Leftovers").
// - Publish renames only while it holds the file at the destination too, so a destination
//   that a live build holds as its temporary file is refused, and a build that starts on
//   that path after the check finds it locked. Before the rename it checks that the
//   temporary path still names the file it holds, and after it that the destination
//   does: a build never reports success for data that is not its own.
//
// Leftovers. A build that dies leaves its temporary file behind, and the next build must
// be able to reuse it: torn, empty or garbage, or whole when the build died between its
// last write and its rename. A store published under a name that is some build's
// temporary path (building "x.klvx.tmp" is allowed) must not be reused: it is a finished
// build's data. The two are told apart by an extended attribute ("user.kalvex.unpublished")
// that a build sets on its temporary file when it takes it and removes after its rename,
// while it still holds the lock. So a file at the temporary path is reused when it carries
// the mark, or when it is not a whole store (the caller says which files are); a whole
// store without the mark is refused. Where the file system keeps no extended attributes
// no file is ever marked, and a whole store left by a build that died just before its
// rename is refused too, until someone moves it: data is kept, never lost. A build that
// dies between its rename and the removal of the mark leaves a published store that a
// build of the neighbouring name may reuse; that window is a few system calls.
//
// Invariant: while the returned descriptor is open, no other build writes the file the
// path names, and no other build renames anything onto that path.
#pragma once

#include <string>
#include <string_view>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::io {

// Whether the file open at `fd` (regular, not empty, read from offset 0 with pread) is
// data that must be kept: a whole store. Answers false when it cannot tell.
using IsKeptData = bool (*)(int fd);

// Opens `path` for writing, empty, with mode 0666 less the umask when it is created:
//
//   1. open without truncating, never through a symbolic link (a link planted in a shared
//      directory would send the build's bytes into another file), creating it if absent;
//   2. refuse anything but a regular file of one name (a FIFO or a device is no place
//      for a store; a second name would let the truncation reach a file elsewhere);
//   3. take an exclusive, non-blocking flock: a live build holding it makes this one fail
//      at once; a file left by a process that died is unlocked;
//   4. check that the path still names the file held: a build that opened the file just
//      before its previous holder renamed it away holds what is now that build's
//      published destination, and must let go of it and open the path again;
//   5. refuse a file that is not empty, carries no build's mark and is `kept` data;
//   6. mark it as this build's, and only then truncate.
//
// Failures are KalvIOError "{context}: {reason}"; a failure changes nothing on disk (at
// most an empty file is created).
Result<FileDescriptor> OpenExclusive(const std::string& path, std::string_view context, IsKeptData kept);

// Renames `tmp`, whose file `held` is (opened by OpenExclusive, written and synced), to
// `destination`, and removes the build's mark. Fails with KalvIOError "publish: ..."
// leaving the destination as it was when another live build holds the file there, or
// when `tmp` no longer names `held`; fails after the rename when `destination` does not
// name `held` once it is done (someone replaced it in between). REQUIRES: `held` is still
// open, so that its lock covers the rename.
Status Publish(const FileDescriptor& held, const std::string& tmp, const std::string& destination);

}  // namespace kalvex::io
