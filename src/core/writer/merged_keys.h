// RunMerge: the keys of a writer's spilled runs (key_runs.h), and of its key map when
// given, read back as one sequence in ascending key order, each key once, with the Object
// ID of its latest assignment.
//
// Sources are ordered oldest first: the runs in the order they were written, then the map,
// which holds the keys added since the last spill. Each source is in key order with
// distinct keys, so a heap of the sources' current keys yields the least key next; of
// sources at an equal key the newest is taken and the others step past it, which is the
// writer's rule that the last assignment wins.
//
// A run is read sequentially through a buffer of its own; the key handed out is a copy,
// good until the next call of Next. Refers to the runs and the map it was made from: good
// while they are unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/result.h"
#include "core/writer/key_map.h"
#include "core/writer/key_order.h"
#include "core/writer/key_runs.h"

namespace kalvex::writer {

class RunMerge {
 public:
  // The runs, and the map's entries in `map_order` when `map_entries` is not null. Each
  // run gets `buffer_bytes` of read buffer (at least KeyRuns::kMaxRecordSize). May throw
  // std::bad_alloc.
  RunMerge(const KeyRuns& runs, const KeyMap::EntryList* map_entries, const EntryOrder* map_order,
           std::size_t buffer_bytes);
  ~RunMerge();
  RunMerge(const RunMerge&) = delete;
  RunMerge& operator=(const RunMerge&) = delete;

  // Steps to the next key: false at the end, or when a run could not be read (status()).
  bool Next();
  std::span<const std::uint8_t> key() const { return {current_.data(), current_.size()}; }
  std::uint64_t obj_id() const { return obj_id_; }
  // The failure that ended the sequence early, if one did.
  const Status& status() const { return status_; }

  // The distinct keys of the runs and the map: one pass. Fails with a run's read error.
  static Result<std::uint64_t> Count(const KeyRuns& runs, KeyMap& map, std::size_t buffer_bytes);

 private:
  struct Cursor;
  // Moves cursor c to its next record; false at its end or on a read failure (status_).
  bool Advance(Cursor& c);
  bool Before(std::uint32_t a, std::uint32_t b) const;  // cursor a's key goes first
  void Push(std::uint32_t c);
  std::uint32_t Pop();

  std::vector<Cursor> cursors_;
  std::vector<std::uint32_t> heap_;  // cursors with a current key, least on top
  bool started_ = false;
  std::vector<std::uint8_t> current_;
  std::uint64_t obj_id_ = 0;
  Status status_;
};

}  // namespace kalvex::writer
