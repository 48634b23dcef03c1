// Spool: the file a writer's records go to as they are added, so that its memory holds
// the keys and the tables that find duplicates, not the values.
//
// The records lie in the file exactly where the build's data section puts them, from
// format::kDataOffset on: a build to the writer's destination finishes the file in place
// (index after the records, header over the placeholder at 0) and publishes it, copying
// no value. The file is, by preference:
//
// - the destination's temporary file (TemporaryFile), taken with the exclusivity rules
//   of io/exclusive_file.h when the writer first has records to write. A process killed
//   meanwhile leaves it marked as a build's, and the next build of the destination
//   reuses it, as after any build that died;
// - an unnamed file in $TMPDIR (or /tmp; io::OpenScratchFile), when the writer has no
//   destination or that temporary file cannot be taken (another live build holds it,
//   its directory is missing): the build then reports what it meets, as a build without
//   a spool does;
// - detached: a file the writer only reads any more, because a build published it under
//   the destination's name, or because a build needed the temporary path for a file of
//   its own. Before the writer writes again it copies the records into a new spool.
//
// A spool that is given up (the writer freed or discarded) removes the temporary file it
// holds, only while the path still names that file.
//
// Not thread-safe. Copying is deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/writer/temporary_file.h"

namespace kalvex::writer {

class Spool {
 public:
  // A spool whose file is taken when first written: `destination`'s temporary file, or
  // an anonymous one when `destination` is empty or its temporary file cannot be taken.
  explicit Spool(std::string destination) : destination_(std::move(destination)) {}
  ~Spool() { Release(); }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // The descriptor to write records into, at their data-section offsets. Takes the file
  // first when none is held, and replaces a detached one by a copy of its first
  // `records_bytes` bytes of records. Fails with KalvIOError when no file can be had;
  // the spool is then as it was.
  Result<int> Writable(std::uint64_t records_bytes);

  // The descriptor holding the records written so far; -1 before the first write.
  int readable() const { return file_.fd.get(); }
  // The file's path, for messages; empty when it has none (anonymous, detached).
  std::string path() const { return kind_ == Kind::kTemporary ? file_.path : std::string(); }

  // Whether the spool's file is the one the temporary path of `destination` names (the
  // path compared by the file it names, not by its spelling): a build of `destination`
  // may finish in it, and one that writes a file of its own must first Detach().
  bool HoldsTemporaryOf(std::string_view destination) const;
  // The spool's file as the temporary file of a build of `destination`, which names it
  // so. REQUIRES: HoldsTemporaryOf(destination).
  TemporaryFile& TemporaryFor(std::string_view destination);

  // The file is no longer written: a build published it, or handed its path to another.
  void Detached();
  // Gives the temporary path up, keeping the records readable through the descriptor.
  void Detach();

  // Removes the temporary file when it is still the spool's, and closes the descriptor.
  // The spool is then as made. Does not throw.
  void Release() noexcept;

 private:
  enum class Kind { kNone, kTemporary, kAnonymous, kDetached };

  std::string destination_;
  Kind kind_ = Kind::kNone;
  TemporaryFile file_;  // path and destination set for kTemporary only
};

}  // namespace kalvex::writer
