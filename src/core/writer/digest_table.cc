#include "core/writer/digest_table.h"

#include <cstring>

namespace kalvex::writer {
namespace {

constexpr std::size_t kInitialSlots = 1024;

std::size_t HomeSlot(DigestTable::Digest digest, std::size_t mask) {
  std::uint64_t bits;
  std::memcpy(&bits, digest.data(), sizeof bits);
  return static_cast<std::size_t>(bits) & mask;
}

}  // namespace

DigestTable::DigestTable() : slots_(kInitialSlots, 0) {}
DigestTable::~DigestTable() = default;

std::size_t DigestTable::Probe(Digest digest) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = HomeSlot(digest, mask);
  while (slots_[slot] != 0 &&
         std::memcmp(DigestAt(slots_[slot] - 1), digest.data(), kDigestSize) != 0) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

std::optional<std::uint32_t> DigestTable::Find(Digest digest) const {
  const std::uint32_t held = slots_[Probe(digest)];
  if (held == 0) return std::nullopt;
  return held - 1;
}

void DigestTable::Add(Digest digest) {
  // Allocate everything first: a failure leaves the table as it was.
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  if (size_ % kBlockEntries == 0) {
    blocks_.reserve(blocks_.size() + 1);
    blocks_.push_back(std::make_unique<Block>());
  }
  std::memcpy((*blocks_[size_ / kBlockEntries])[size_ % kBlockEntries].data(), digest.data(),
              kDigestSize);
  slots_[Probe(digest)] = static_cast<std::uint32_t>(size_ + 1);
  ++size_;
}

void DigestTable::Grow() {
  std::vector<std::uint32_t> slots(slots_.size() * 2, 0);
  const std::size_t mask = slots.size() - 1;
  for (const std::uint32_t held : slots_) {
    if (held == 0) continue;
    std::size_t slot = HomeSlot(Digest(DigestAt(held - 1), kDigestSize), mask);
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = held;
  }
  slots_.swap(slots);
}

std::size_t DigestTable::MemoryUsage() const {
  return blocks_.size() * sizeof(Block) + slots_.capacity() * sizeof(std::uint32_t);
}

}  // namespace kalvex::writer
