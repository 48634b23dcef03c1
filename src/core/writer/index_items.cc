#include "core/writer/index_items.h"

#include "core/writer/kept_objects.h"

namespace kalvex::writer {

IndexItems::IndexItems(KeyMap& map, const KeyRuns& runs, const ObjectOffsets& object_offsets,
                       std::size_t buffer_bytes, const ObjectAliases* aliases) {
  const KeyMap::EntryList& entries = map.entries();
  // Aliases are resolved as the merge shows its items (none of it held: see ForEach).
  if (runs.empty() && aliases == nullptr) {
    order_ = KeyOrder(entries, object_offsets);
    return;
  }
  runs_ = &runs;
  entries_ = &entries;
  map_order_ = std::make_unique<EntryOrder>(entries);
  offsets_ = &object_offsets;
  aliases_ = aliases;
  buffer_bytes_ = buffer_bytes;
}

Result<std::vector<std::uint8_t>> IndexItems::Reached(KeyMap& map, const KeyRuns& runs, std::uint64_t object_count,
                                                      std::size_t buffer_bytes) {
  const KeyMap::EntryList& entries = map.entries();
  if (runs.empty()) return KeptObjects::Reached(entries, object_count);
  // Only the latest assignment of a key reaches its object: an object that a spilled
  // assignment named, and a later one replaced, is left out as in a build from memory.
  std::vector<std::uint8_t> reached(object_count);
  const EntryOrder order(entries);
  RunMerge merge(runs, &entries, &order, buffer_bytes);
  while (merge.Next()) reached[merge.obj_id()] = 1;
  if (!merge.status().ok()) return merge.status().error();
  return reached;
}

}  // namespace kalvex::writer
