#include "core/writer/payload_index.h"

#include "core/same_bytes.h"

namespace kalvex::writer {
namespace {

constexpr std::size_t kInitialSlots = 1024;
constexpr unsigned kInitialShift = 64 - 10;
static_assert(kInitialSlots == std::size_t{1} << (64 - kInitialShift));
constexpr std::uint64_t kIdMask = 0xFFFFFFFFu;

std::uint64_t Tag(std::uint64_t hash) { return hash >> 32; }

}  // namespace

PayloadIndex::PayloadIndex() : seed_(HashSeed::Fresh()), slots_(kInitialSlots, 0), shift_(kInitialShift) {}

std::optional<std::uint64_t> PayloadIndex::Find(Bytes payload, std::uint64_t hash,
                                                const ObjectList& objects) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = Home(hash); slots_[slot] != 0; slot = (slot + 1) & mask) {
    const std::uint64_t word = slots_[slot];
    if ((word >> 32) != Tag(hash)) continue;
    const std::uint64_t id = (word & kIdMask) - 1;
    // A stored copy that cannot be read back matches nothing; the list keeps the failure,
    // which every build reports.
    const auto stored = objects.Payload(id);
    if (stored && SameBytes(*stored, payload)) return id;
  }
  return std::nullopt;
}

void PayloadIndex::PrefetchMatch(std::uint64_t hash, const ObjectList& objects) const {
  const std::uint64_t word = slots_[Home(hash)];
  if (word == 0 || (word >> 32) != Tag(hash)) return;
  // A spooled record is read back when compared, not fetched ahead.
  if (const std::uint8_t* record = objects.BufferedRecordAt((word & kIdMask) - 1)) __builtin_prefetch(record);
}

void PayloadIndex::Reserve(const ObjectList& objects) {
  if ((count_ + 1) * 4 > slots_.size() * 3) Grow(objects);
}

void PayloadIndex::Insert(std::uint64_t hash, std::uint64_t id) noexcept {
  if (id > kMaxIndexedId) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = Home(hash);
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  slots_[slot] = (Tag(hash) << 32) | (id + 1);
  ++count_;
}

void PayloadIndex::Grow(const ObjectList& objects) {
  std::vector<std::uint64_t> slots(slots_.size() * 2, 0);
  const unsigned shift = shift_ - 1;
  const std::size_t mask = slots.size() - 1;
  for (const std::uint64_t word : slots_) {
    if (word == 0) continue;
    // The tag is the hash's top 32 bits: enough for the home of a table up to 2^32 slots.
    std::size_t slot = shift >= 32 ? static_cast<std::size_t>((word >> 32) >> (shift - 32))
                                   : static_cast<std::size_t>(
                                         Hash(objects.Payload((word & kIdMask) - 1).value_or(Bytes{})) >> shift);
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = word;
  }
  slots_.swap(slots);
  shift_ = shift;
}

}  // namespace kalvex::writer
