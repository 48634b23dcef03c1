#include "core/writer/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "core/format/layout.h"
#include "core/io/scratch_file.h"

namespace kalvex::writer {

namespace {

constexpr const char* kContext = "open spool";

}  // namespace

Result<int> Spool::Writable(std::uint64_t records_bytes) {
  if (kind_ == Kind::kTemporary || kind_ == Kind::kAnonymous) return file_.fd.get();
  TemporaryFile fresh;
  Kind kind = Kind::kAnonymous;
  if (!destination_.empty()) {
    if (Result<TemporaryFile> opened = OpenTemporary(destination_); opened.ok()) {
      fresh = std::move(opened).value();
      kind = Kind::kTemporary;
    }
  }
  if (kind == Kind::kAnonymous) {
    // An unnamed file in $TMPDIR (or /tmp): not beside a destination it could not open.
    Result<io::FileDescriptor> opened = io::OpenScratchFile({});
    if (!opened.ok()) return opened.take_error();
    fresh.fd = std::move(opened).value();
  }
  if (kind_ == Kind::kDetached && records_bytes > 0) {
    std::optional<int> failed;
    if (::lseek(fresh.fd.get(), static_cast<off_t>(format::kDataOffset), SEEK_SET) < 0) {
      failed = errno;
    } else if (const auto copy = io::CopyAll(file_.fd.get(), format::kDataOffset, fresh.fd.get(), records_bytes)) {
      failed = copy->errnum != 0 ? copy->errnum : EIO;
    }
    if (failed) {
      if (kind == Kind::kTemporary) Unlink(fresh);
      return StoreError::IO(std::string(kContext) + ": " + OsErrorText(*failed), *failed, fresh.path);
    }
  }
  file_ = std::move(fresh);
  kind_ = kind;
  return file_.fd.get();
}

bool Spool::HoldsTemporaryOf(std::string_view destination) const {
  if (kind_ != Kind::kTemporary) return false;
  struct stat held;
  struct stat named;
  return ::fstat(file_.fd.get(), &held) == 0 && ::lstat(TemporaryPathFor(destination).c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

TemporaryFile& Spool::TemporaryFor(std::string_view destination) {
  file_.destination = std::string(destination);
  file_.path = TemporaryPathFor(destination);
  return file_;
}

void Spool::Detached() {
  if (kind_ != Kind::kNone) kind_ = Kind::kDetached;
}

void Spool::Detach() {
  if (kind_ != Kind::kTemporary) return;
  Unlink(file_);
  kind_ = Kind::kDetached;
}

void Spool::Release() noexcept {
  if (kind_ == Kind::kTemporary) Unlink(file_);
  file_.fd.Close();
  kind_ = Kind::kNone;
}

}  // namespace kalvex::writer
