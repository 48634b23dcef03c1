// Writer: the in-memory object list and key map of one store, and its atomic build.
//
// The writer owns a copy of every payload and every key handed to it; nothing refers
// back to the caller's buffers. Object IDs count from 0 in AddObject order, without gaps.
// A key maps to one Object ID; mapping it again replaces the ID. Build() only reads the
// writer, so a writer can be built any number of times and grown in between.
//
// Not thread-safe: the caller serialises calls (the bindings guard each instance).
// Copying is deleted: a writer may hold gigabytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/result.h"

namespace kalvex::writer {

struct BuildReport {
  std::uint64_t num_objects = 0;
  std::uint64_t num_keys = 0;
  std::uint64_t file_size = 0;
};

class Writer {
 public:
  Writer();
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Copies `payload` and returns its Object ID. No size check here: Build() rejects a
  // payload over the format's limit. On std::bad_alloc the writer is unchanged.
  std::uint64_t AddObject(std::span<const std::uint8_t> payload);

  // Maps `key` to `obj_id`. Fails with KalvError when obj_id >= num_objects() (checked
  // first) or when the key is longer than 65535 bytes; then nothing changes.
  Status AddKey(std::span<const std::uint8_t> key, std::uint64_t obj_id);

  std::uint64_t num_objects() const;
  std::uint64_t num_keys() const;

  // Writes the container file at `path` (UTF-8, possibly holding a zero byte) through
  // its temporary path, fsync and rename. Every limit is checked before the file system
  // is touched. Does not print the summary line: see PrintSummaryLine().
  Result<BuildReport> Build(std::string_view path) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The temporary path a build of `destination` writes before its rename:
// "out/store.db" -> "out/store.klvx.tmp", "archive.tar.gz" -> "archive.tar.klvx.tmp".
std::string TemporaryPathFor(std::string_view destination);

// "✅  {path}  —  {n} objects · {n} keys · {kb} KB\n", the size to one decimal.
std::string SummaryLine(std::string_view path, const BuildReport& report);

// Writes SummaryLine() to file descriptor 1. Returns nothing on success and when fd 1
// is closed (EBADF); otherwise the OS error text of the failed write.
std::optional<std::string> PrintSummaryLine(std::string_view path, const BuildReport& report);

}  // namespace kalvex::writer
