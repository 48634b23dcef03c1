// The one line a finished build prints: "✅  {path}  —  {n} objects · {n} keys · {kb} KB".
//
// The core's build never prints; whoever commits a build and wants the line asks for it
// here (the Python bindings do after every successful build).
#pragma once

#include <string>
#include <string_view>

#include "core/writer/writer.h"

namespace kalvex::writer {

// "✅  {path}  —  {n} objects · {n} keys · {kb} KB\n", the size to one decimal.
std::string SummaryLine(std::string_view path, const BuildReport& report);

// Writes SummaryLine() to file descriptor 1. The line is the last step of a build that
// has already succeeded (the file is in place), so a line that cannot be written (fd 1
// closed, a closed pipe, a full device) is dropped: reporting it would make a finished
// build look failed.
void PrintSummaryLine(std::string_view path, const BuildReport& report);

}  // namespace kalvex::writer
