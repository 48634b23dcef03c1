// The one line a finished build prints: "✅  {path}  —  {n} objects · {n} keys · {kb} KB".
//
// The core's build never prints; whoever commits a build and wants the line asks for it
// here (the Python bindings do after every successful build).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/writer/writer.h"

namespace kalvex::writer {

// "✅  {path}  —  {n} objects · {n} keys · {kb} KB\n", the size to one decimal.
std::string SummaryLine(std::string_view path, const BuildReport& report);

// Writes SummaryLine() to file descriptor 1. Returns nothing on success and when fd 1
// is closed (EBADF); otherwise the OS error text of the failed write.
std::optional<std::string> PrintSummaryLine(std::string_view path, const BuildReport& report);

}  // namespace kalvex::writer
