// ScratchFile: an unnamed temporary file for work that leaves memory, gone with its
// descriptor.
//
// The file is made in the directory given (the destination's, so the work shares the disk
// the build writes to), or in $TMPDIR, else /tmp. It never has a name others can see where
// the system makes unnamed files (O_TMPFILE); elsewhere it is created under a fresh name
// and unlinked at once. Either way nothing is left behind by a crash: the space is freed
// when the last descriptor closes.
#pragma once

#include <string>
#include <string_view>

#include "core/io/file.h"
#include "core/result.h"

namespace kalvex::io {

// Where a scratch file for `directory` goes: it, or when empty $TMPDIR, else /tmp.
std::string ScratchDirectory(std::string_view directory);

// In ScratchDirectory(directory). Fails with KalvIOError "scratch file: {os
// error text}" naming the directory.
Result<FileDescriptor> OpenScratchFile(std::string_view directory);

// The directory part of `path` (before its last "/"; "." when there is none), where a
// file beside it would go.
std::string DirectoryOf(std::string_view path);

}  // namespace kalvex::io

