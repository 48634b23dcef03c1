#include "core/writer/temporary_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/io/exclusive_file.h"
#include "core/writer/whole_store.h"

namespace kalvex::writer {

namespace {
// What a failed open of the temporary file, or a destination the OS cannot take, says.
constexpr const char* kOpenTmp = "open tmp";
}  // namespace

std::string TemporaryPathFor(std::string_view destination) {
  // The last path component that is neither empty nor ".", located in `destination`.
  std::size_t name_begin = std::string_view::npos;
  std::size_t name_end = 0;
  for (std::size_t pos = 0; pos <= destination.size();) {
    std::size_t slash = destination.find('/', pos);
    if (slash == std::string_view::npos) slash = destination.size();
    const std::string_view part = destination.substr(pos, slash - pos);
    if (!part.empty() && part != ".") {
      name_begin = pos;
      name_end = slash;
    }
    pos = slash + 1;
  }
  if (name_begin == std::string_view::npos) return std::string(destination);
  const std::string_view name = destination.substr(name_begin, name_end - name_begin);
  if (name == "..") return std::string(destination);

  // The stem drops the extension: from the last "." on, unless that "." opens the name.
  std::size_t stem_length = name.size();
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) stem_length = dot;
  std::string tmp(destination.substr(0, name_begin + stem_length));
  tmp += ".klvx.tmp";
  return tmp;
}

Status CheckDestination(std::string_view destination) {
  // The rename hands the destination itself to the OS, so its zero byte is refused here,
  // before the temporary file exists, even where the temporary path has dropped it.
  if (Status usable = io::CheckPathForOs(destination, kOpenTmp); !usable.ok()) return usable;
  return io::CheckReplaceable(std::string(destination));
}

Result<TemporaryFile> OpenTemporary(std::string_view path) {
  if (Status checked = CheckDestination(path); !checked.ok()) return checked.take_error();
  TemporaryFile file{std::string(path), TemporaryPathFor(path), {}};
  auto fd = io::OpenExclusive(file.path, kOpenTmp, IsWholeStore);
  if (!fd.ok()) return fd.take_error();
  file.fd = std::move(fd).value();
  return file;
}

Status Publish(TemporaryFile& file) {
  if (Status synced = io::Sync(file.fd); !synced.ok()) return synced.take_error().WithPath(file.path);
  // The descriptor, and with it the lock, is held until the rename is done: released
  // earlier, another build could take the file and write into it after our last byte.
  if (Status published = io::Publish(file.fd, file.path, file.destination); !published.ok()) {
    return published.take_error();
  }
  // Held further, the lock would refuse every later build of the destination.
  (void)::flock(file.fd.get(), LOCK_UN);
  return io::SyncDirectoryOf(file.path);
}


bool StillNamesHeld(const TemporaryFile& file) {
  struct stat held;
  struct stat named;
  return ::fstat(file.fd.get(), &held) == 0 && ::lstat(file.path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool Unlink(const TemporaryFile& file) {
  return StillNamesHeld(file) && ::unlink(file.path.c_str()) == 0;
}

}  // namespace kalvex::writer
