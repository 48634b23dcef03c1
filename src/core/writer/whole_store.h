// IsWholeStore: whether a file found where a build would write is a finished store,
// which a build must keep (see io/exclusive_file.h, "Leftovers").
#pragma once

namespace kalvex::writer {

// Whether the file open for reading at `fd` begins with a store's magic and version and
// its whole-file CRC-32 matches the header's: a torn, empty or foreign file does not.
// Reads the whole file when the header looks right. False when the file cannot be read.
bool IsWholeStore(int fd);

}  // namespace kalvex::writer
