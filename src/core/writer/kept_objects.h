// KeptObjects: the objects a build writes when it leaves out every object no key reaches,
// and where each of them lands in the file.
//
// A key mapped again leaves its old object in the writer (object ids never move: callers
// hold them), so without this a store keeps bytes its user replaced, a password among
// them. Left out, an object's bytes never reach the file; the objects that stay keep their
// order, so ids in the file (positions in the data section) are the writer's ids with the
// gaps closed.
//
// Only built when something is left out: a writer whose every object is reached builds
// from the object list as it is, at no cost but one pass that marks the reached ids.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/writer/key_map.h"
#include "core/writer/object_list.h"
#include "core/writer/object_offsets.h"

namespace kalvex::writer {

class KeptObjects {
 public:
  // The objects marked in `reached` (as Reached makes it), or nothing when every object of
  // `objects` is. REQUIRES: reached.size() == objects.size(); objects.FinishRecords() has
  // run. Reads no record (a record's length is the distance to the next one), so spooled
  // records stay in their file. May throw std::bad_alloc (when some are left out 4 bytes
  // per object and 16 per run of kept records).
  static std::unique_ptr<KeptObjects> Find(const std::vector<std::uint8_t>& reached, const ObjectList& objects);

  // A byte per object id below `object_count`: 1 where some entry reaches it, else 0.
  // REQUIRES: every entry's obj_id < object_count. May throw std::bad_alloc.
  static std::vector<std::uint8_t> Reached(const KeyMap::EntryList& entries, std::uint64_t object_count);

  // The file offset of each kept object, indexed by the writer's Object ID (a dropped
  // object's entry is meaningless).
  const ObjectOffsets& offsets() const { return offsets_; }
  std::uint64_t count() const { return count_; }
  // A run of kept records that follow each other in the object list's stream.
  struct Run {
    std::uint64_t begin;  // stream position (file offset less format::kDataOffset)
    std::uint64_t length;
  };
  // The kept records, in file order.
  const std::vector<Run>& runs() const { return runs_; }
  std::uint64_t data_length() const { return data_length_; }
  // CRC-32 of the kept records of `objects` (the list they were found in), back to back.
  // A spooled record that cannot be read back is kept as objects.failure().
  std::uint32_t DataCrc(const ObjectList& objects) const;

 private:
  ObjectOffsets offsets_;
  std::vector<Run> runs_;
  std::uint64_t count_ = 0;
  std::uint64_t data_length_ = 0;
};

}  // namespace kalvex::writer
