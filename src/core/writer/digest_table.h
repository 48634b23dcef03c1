// DigestTable: the entry number of every 128-bit payload digest added, for exact dedupe.
//
// A deduplicating writer adds one entry per object it stores, in object order, so entry i
// names the i-th object stored through the table. Digests are compared whole: two payloads
// share an entry only when all 128 bits agree. The table never sees a payload, so it costs
// the same whatever the payloads weigh.
//
// Layout: the digests in entry order, in fixed-size blocks (growth never copies them and
// never reserves more than one block ahead), and open addressing over 32-bit slots that
// hold entry + 1, zero marking an empty slot, probed linearly from the digest's first
// eight bytes (a digest's bits are already uniform, so they need no further hashing).
// Invariant: at most half the slots are full, so a probe meets an empty slot within a few
// steps. Memory: 16 bytes of digest and 8 to 16 bytes of slots per entry.
//
// Not thread-safe. Copying is deleted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kalvex::writer {

class DigestTable {
 public:
  static constexpr std::size_t kDigestSize = 16;
  // Slots hold entry + 1 in 32 bits.
  static constexpr std::uint64_t kMaxEntries = 0xFFFFFFFEu;
  using Digest = std::span<const std::uint8_t, kDigestSize>;

  DigestTable();
  ~DigestTable();
  DigestTable(const DigestTable&) = delete;
  DigestTable& operator=(const DigestTable&) = delete;

  // The entry holding `digest`, if any.
  std::optional<std::uint32_t> Find(Digest digest) const;

  // Adds `digest` as entry size(). REQUIRES: !Find(digest), size() < kMaxEntries.
  // On std::bad_alloc the table is unchanged.
  void Add(Digest digest);

  std::size_t size() const { return size_; }
  std::size_t MemoryUsage() const;

 private:
  static constexpr std::size_t kBlockEntries = 4096;
  using Block = std::array<std::array<std::uint8_t, kDigestSize>, kBlockEntries>;

  const std::uint8_t* DigestAt(std::uint32_t entry) const {
    return (*blocks_[entry / kBlockEntries])[entry % kBlockEntries].data();
  }
  // The slot where `digest` is, or the empty slot where it would go.
  std::size_t Probe(Digest digest) const;
  void Grow();

  std::vector<std::unique_ptr<Block>> blocks_;
  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
};

}  // namespace kalvex::writer
