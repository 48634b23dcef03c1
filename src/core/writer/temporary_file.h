// TemporaryFile: the file a build writes before its rename over the destination, opened,
// published and given up by the rules of io/exclusive_file.h.
//
// A build of "out/store.klvx" writes "out/store.klvx.tmp" (TemporaryPathFor), held with
// an exclusive lock from its open until its rename. A writer that knows its destination
// takes that file as soon as it has values to write (see spool.h) and builds in it; a
// writer that gives up without building removes it, but only while the path still names
// the file it holds: a file someone else put there stays.
#pragma once

#include <string>
#include <string_view>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::writer {

// The temporary path a build of `destination` writes before its rename:
// "out/store.db" -> "out/store.klvx.tmp", "archive.tar.gz" -> "archive.tar.klvx.tmp".
std::string TemporaryPathFor(std::string_view destination);

struct TemporaryFile {
  std::string destination;
  std::string path;  // TemporaryPathFor(destination)
  io::FileDescriptor fd;
};

// Refuses a destination the OS cannot take (a zero byte) or that may not be replaced (a
// device, FIFO or socket), as every build does before it touches a file.
Status CheckDestination(std::string_view destination);

// CheckDestination, then creates the temporary file, empty (io::OpenExclusive). Nothing
// exists on failure.
Result<TemporaryFile> OpenTemporary(std::string_view destination);

// Makes the written temporary file durable and renames it over the destination, then lets
// go of its lock: the descriptor stays open (the caller may keep reading the published
// file) but no longer keeps other builds from replacing it.
Status Publish(TemporaryFile& file);

// Whether file.path still names the file file.fd holds.
bool StillNamesHeld(const TemporaryFile& file);

// Unlinks file.path when it still names the file held (StillNamesHeld); the descriptor
// stays open. Returns whether the path was removed. Under the rules of
// io/exclusive_file.h nobody renames onto a path whose file a build holds, so the file
// checked is the file removed.
bool Unlink(const TemporaryFile& file);

}  // namespace kalvex::writer
