// IndexItems: a build's keys in key order, each with its object's file offset, as the
// index passes read them (the index section's CRC and seed, the mapped index, the section
// written out, the objects a key reaches).
//
// When no key has been spilled the items come from the key map alone, sorted once and
// held (KeyOrder). Once keys have been spilled (key_runs.h) each pass merges the runs and
// the map's remainder anew (RunMerge): reading the runs again, in sequence, costs less than
// holding the merged order, and the memory a pass takes is its read buffers alone. Either
// way the items are the same: the bytes of a build do not depend on its budget. A build
// with aliases (object_aliases.h) merges too, with no runs if need be: the map's order is
// then 4 bytes an entry, and an alias is resolved as its item is shown.
//
// Refers to the map, the runs and the offsets it was made from: good while they are
// unchanged. Move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/result.h"
#include "core/writer/key_map.h"
#include "core/writer/key_order.h"
#include "core/writer/key_runs.h"
#include "core/writer/merged_keys.h"
#include "core/writer/object_aliases.h"

namespace kalvex::writer {

class IndexItems {
 public:
  IndexItems() = default;
  // The map's keys, or the runs' and the map's merged when there are runs, at the offsets
  // object_offsets[obj_id] (an alias's original's, with `aliases`). A merge reads each run
  // through `buffer_bytes`. REQUIRES: as KeyOrder's. May throw std::bad_alloc.
  IndexItems(KeyMap& map, const KeyRuns& runs, const ObjectOffsets& object_offsets,
             std::size_t buffer_bytes, const ObjectAliases* aliases = nullptr);
  IndexItems(IndexItems&&) noexcept = default;
  IndexItems& operator=(IndexItems&&) noexcept = default;

  bool merged() const { return runs_ != nullptr; }

  // Shows each item, in key order, to visit(const IndexItem&), which returns false to
  // stop. Fails when a run cannot be read. The item's key is good during the call only.
  template <class Visit>
  Status ForEach(Visit visit) const {
    if (runs_ == nullptr) {
      // The keys lie in insertion order, the items in key order: ask for keys early.
      constexpr std::size_t kPrefetchDistance = 16;
      const std::size_t n = order_.size();
      for (std::size_t i = 0; i < n; ++i) {
        if (i + kPrefetchDistance < n) __builtin_prefetch(order_.key(i + kPrefetchDistance));
        if (!visit(order_[i])) break;
      }
      return {};
    }
    // Object IDs come in key order, that is at random, and the offsets of millions of
    // objects are far larger than the caches: a batch of keys is merged first, each
    // key's offset asked for, and only then are they shown.
    RunMerge merge(*runs_, entries_, map_order_.get(), buffer_bytes_);
    constexpr std::size_t kBatch = 64;
    struct Merged {
      std::uint64_t obj_id;
      std::size_t begin;
      std::uint32_t length;
    };
    Merged batch[kBatch];
    std::vector<std::uint8_t> keys;
    for (bool more = true; more;) {
      std::size_t n = 0;
      keys.clear();
      while (n < kBatch && (more = merge.Next())) {
        const auto key = merge.key();
        const std::uint64_t obj_id = aliases_ ? aliases_->Resolve(merge.obj_id()) : merge.obj_id();
        batch[n++] = Merged{obj_id, keys.size(), static_cast<std::uint32_t>(key.size())};
        keys.insert(keys.end(), key.begin(), key.end());
        offsets_->Prefetch(obj_id);
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (!visit(IndexItem(keys.data() + batch[i].begin, batch[i].length, (*offsets_)[batch[i].obj_id]))) {
          return {};
        }
      }
    }
    return merge.status();
  }

  // One byte per object id below `object_count`: 1 where a key reaches it (as
  // KeptObjects::Reached makes it from the map's entries). Fails when a run cannot be read.
  static Result<std::vector<std::uint8_t>> Reached(KeyMap& map, const KeyRuns& runs, std::uint64_t object_count,
                                                   std::size_t buffer_bytes);

 private:
  KeyOrder order_;
  const KeyRuns* runs_ = nullptr;
  const KeyMap::EntryList* entries_ = nullptr;
  std::unique_ptr<EntryOrder> map_order_;
  const ObjectOffsets* offsets_ = nullptr;
  const ObjectAliases* aliases_ = nullptr;
  std::size_t buffer_bytes_ = 0;
};

}  // namespace kalvex::writer
