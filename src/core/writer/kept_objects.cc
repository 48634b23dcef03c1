#include "core/writer/kept_objects.h"

#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace kalvex::writer {

std::vector<std::uint8_t> KeptObjects::Reached(const KeyMap::EntryList& entries, std::uint64_t object_count) {
  // A byte per object, not a bit: stores without a branch or a read, one pass over the
  // entries at memory speed, and a transient byte per object is small beside the records.
  std::vector<std::uint8_t> reached(object_count);
  for (std::size_t i = 0; i < entries.size(); ++i) reached[entries[i].obj_id()] = 1;
  return reached;
}

std::unique_ptr<KeptObjects> KeptObjects::Find(const std::vector<std::uint8_t>& reached, const ObjectList& objects) {
  std::uint64_t reached_count = 0;
  for (const std::uint8_t r : reached) reached_count += r;
  if (reached_count == objects.size()) return nullptr;

  auto kept = std::make_unique<KeptObjects>();
  kept->count_ = reached_count;
  std::uint64_t next = format::kDataOffset;
  for (std::uint64_t obj_id = 0; obj_id < objects.size(); ++obj_id) {
    if (!reached[obj_id]) continue;
    const std::uint64_t begin = objects.offset(obj_id) - format::kDataOffset;
    const std::uint64_t length = objects.record_length(obj_id);
    kept->offsets_.Set(obj_id, next);
    next += length;
    // Records that follow each other join one run: one write (or copy) of many.
    auto& runs = kept->runs_;
    if (!runs.empty() && runs.back().begin + runs.back().length == begin) {
      runs.back().length += length;
    } else {
      runs.push_back(Run{begin, length});
    }
  }
  if (objects.size() > 0) kept->offsets_.Set(objects.size() - 1, next);  // the dropped ones at the end
  kept->data_length_ = next - format::kDataOffset;
  return kept;
}

std::uint32_t KeptObjects::DataCrc(const ObjectList& objects) const {
  std::uint32_t crc = 0;
  for (const Run& run : runs_) crc = objects.ExtendCrc(crc, run.begin, run.length);
  return crc;
}

}  // namespace kalvex::writer
