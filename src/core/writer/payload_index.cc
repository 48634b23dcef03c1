#include "core/writer/payload_index.h"

#include <new>

#include "core/same_bytes.h"

namespace kalvex::writer {

PayloadIndex::PayloadIndex(std::uint64_t memory_share) : seed_(HashSeed::Fresh()), memory_share_(memory_share) {}

std::optional<std::uint64_t> PayloadIndex::Find(Bytes payload, std::uint64_t hash,
                                                const ObjectList& objects) const {
  // A stored copy that cannot be read back matches nothing; the list keeps the failure,
  // which every build reports.
  const std::uint64_t* slot = table_.Probe(hash, [&](std::uint64_t id) {
    const auto stored = objects.Payload(id);
    return stored && SameBytes(*stored, payload);
  });
  if (slot == nullptr || *slot == 0) return std::nullopt;
  return TaggedSlots::IdOf(*slot);
}

void PayloadIndex::PrefetchMatch(std::uint64_t hash, const ObjectList& objects) const {
  const std::uint64_t word = table_.HomeWord(hash);
  if (word == 0 || (word >> 32) != (hash >> 32)) return;
  // A spooled record is read back when compared, not fetched ahead.
  if (const std::uint8_t* record = objects.BufferedRecordAt(TaggedSlots::IdOf(word))) __builtin_prefetch(record);
}

bool PayloadIndex::Reserve(std::uint64_t hash, std::uint64_t id, const ObjectList& objects) {
  if (released_) Refill(objects);
  if (id > kMaxIndexedId) return true;
  const std::size_t segment = TaggedSlots::SegmentOf(hash);
  if ((frozen_ >> segment) & 1) return false;
  // The growth a segment may take is bounded by the largest segment's: the share holds.
  if (memory_share_ != 0 && !table_.HasRoom(segment, 1) &&
      memory_usage() + table_.GrowthBytes() + sizeof(std::uint64_t) > memory_share_) {
    frozen_ |= std::uint32_t{1} << segment;
    return false;
  }
  if (id / 64 >= indexed_.size()) indexed_.resize(id / 64 + 1);
  table_.Reserve(segment, 1);
  return true;
}

void PayloadIndex::Insert(std::uint64_t hash, std::uint64_t id) noexcept {
  if (id > kMaxIndexedId) return;
  table_.Fill(table_.Probe(hash, [](std::uint64_t) { return false; }), hash, id);
  indexed_[id / 64] |= std::uint64_t{1} << (id % 64);
}

void PayloadIndex::Release() noexcept {
  table_.Release();
  released_ = true;
}

void PayloadIndex::Refill(const ObjectList& objects) {
  try {
    // The indexed payloads are distinct: each goes to the first empty slot from its home.
    // One that cannot be read back is left out; it matched nothing before either.
    const auto never = [](std::uint64_t) { return false; };
    for (std::uint64_t word = 0; word < indexed_.size(); ++word) {
      for (std::uint64_t bits = indexed_[word]; bits != 0; bits &= bits - 1) {
        const std::uint64_t id = word * 64 + static_cast<std::uint64_t>(__builtin_ctzll(bits));
        const auto stored = objects.Payload(id);
        if (!stored) continue;
        const std::uint64_t hash = Hash(*stored);
        table_.Reserve(TaggedSlots::SegmentOf(hash), 1);
        table_.Fill(table_.Probe(hash, never), hash, id);
      }
    }
  } catch (const std::bad_alloc&) {
    table_.Release();
    throw;
  }
  released_ = false;
}

}  // namespace kalvex::writer
