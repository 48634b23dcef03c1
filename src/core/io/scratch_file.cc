#include "core/io/scratch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kalvex::io {

namespace {
constexpr const char* kContext = "scratch file";
}  // namespace

std::string DirectoryOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string ScratchDirectory(std::string_view directory) {
  if (!directory.empty()) return std::string(directory);
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

Result<FileDescriptor> OpenScratchFile(std::string_view directory) {
  const std::string dir = ScratchDirectory(directory);
  if (Status usable = CheckPathForOs(dir, kContext); !usable.ok()) return usable.take_error();
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return FileDescriptor(fd);
  // File systems without unnamed files say so in several ways; any other failure (no such
  // directory, no permission) would fail the named file the same way, and is reported there.
  std::vector<char> name(dir.begin(), dir.end());
  const std::string_view pattern = "/.kalvex-scratch-XXXXXX";
  name.insert(name.end(), pattern.begin(), pattern.end());
  name.push_back('\0');
  do {
    fd = ::mkostemp(name.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return StoreError::IO(std::string(kContext) + ": " + OsErrorText(errno), errno, dir);
  ::unlink(name.data());
  return FileDescriptor(fd);
}

}  // namespace kalvex::io
