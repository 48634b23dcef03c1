// ScratchFile: an unnamed temporary file for work that leaves memory, gone with its
// descriptor.
//
// The file is made in the directory given (the destination's, so the work shares the disk
// the build writes to), or in $TMPDIR, else /tmp. It never has a name others can see where
// the system makes unnamed files (O_TMPFILE); elsewhere it is created under a fresh name
// and unlinked at once. Either way nothing is left behind by a crash: the space is freed
// when the last descriptor closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::io {

// An empty directory means $TMPDIR or /tmp. Fails with KalvIOError "scratch file: {os
// error text}" naming the directory.
Result<FileDescriptor> OpenScratchFile(std::string_view directory);

// The directory part of `path` (before its last "/"; "." when there is none), where a
// file beside it would go.
std::string DirectoryOf(std::string_view path);

}  // namespace kalvex::io

namespace kalvex::io {

// Reads exactly `n` bytes at `offset` (pread(2), retried on EINTR, continued after a short
// read). Fails with KalvIOError "scratch file: {os error text}", or "...: unexpected end"
// when the file ends first: a scratch file is only read where it was written.
Status ReadScratch(int fd, void* out, std::size_t n, std::uint64_t offset);

}  // namespace kalvex::io
