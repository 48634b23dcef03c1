#include "core/writer/summary_line.h"

#include <unistd.h>

#include <cstdint>

#include "core/io/file.h"

namespace kalvex::writer {

std::string SummaryLine(std::string_view path, const BuildReport& report) {
  // Tenths of a KiB, rounded to nearest with ties to even on the exact quotient.
  const unsigned __int128 scaled = static_cast<unsigned __int128>(report.file_size) * 10;
  auto tenths = static_cast<std::uint64_t>(scaled / 1024);
  const auto remainder = static_cast<std::uint64_t>(scaled % 1024);
  if (remainder > 512 || (remainder == 512 && (tenths & 1) != 0)) ++tenths;

  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  ";
  line += std::to_string(report.num_objects);
  line += " objects \u00B7 ";
  line += std::to_string(report.num_keys);
  line += " keys \u00B7 ";
  line += std::to_string(tenths / 10);
  line += '.';
  line += static_cast<char>('0' + tenths % 10);
  line += " KB\n";
  return line;
}

void PrintSummaryLine(std::string_view path, const BuildReport& report) {
  const std::string line = SummaryLine(path, report);
  static_cast<void>(io::WriteAll(STDOUT_FILENO, line.data(), line.size()));
}

}  // namespace kalvex::writer
