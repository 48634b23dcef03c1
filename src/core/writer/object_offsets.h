// ObjectOffsets: each object's file offset, indexed by Object ID, in blocks that never
// move.
//
// The table grows with every add. A vector that doubles copies itself and holds old and
// new at once: at 40M objects that moment alone was half a GiB. Blocks of kBlockSize
// offsets are allocated one at a time and never copied.
//
// Offsets only ever grow with the Object ID (records are appended in order), so a block
// holds its first offset in 64 bits and every offset as a 32-bit distance from it: 4 bytes
// per object. A data section may exceed 4 GiB, and one block may span more than 4 GiB of
// records (64Ki values of 64 KiB on average): such a block is widened to 64-bit offsets
// when its first offset beyond 32 bits arrives, so every offset stays exact.
//
// Not thread-safe for writing; const readers may share it. Move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kalvex::writer {

class ObjectOffsets {
 public:
  ObjectOffsets() = default;
  ObjectOffsets(ObjectOffsets&&) noexcept = default;
  ObjectOffsets& operator=(ObjectOffsets&&) noexcept = default;

  std::uint64_t size() const { return size_; }
  // REQUIRES: id < size()
  std::uint64_t operator[](std::uint64_t id) const {
    const Block& block = blocks_[id >> kBlockShift];
    const std::size_t k = id & kBlockMask;
    return block.wide ? block.wide[k] : block.base + block.narrow[k];
  }
  // Asks the cache for object `id`'s offset, to be read a little later.
  void Prefetch(std::uint64_t id) const {
    const Block& block = blocks_[id >> kBlockShift];
    const std::size_t k = id & kBlockMask;
    if (block.wide) {
      __builtin_prefetch(&block.wide[k]);
    } else {
      __builtin_prefetch(&block.narrow[k]);
    }
  }

  // Object `id`'s offset is `offset`; every id skipped since the last one (objects whose
  // offset no one reads, e.g. those a build leaves out) gets it too.
  // REQUIRES: id >= size(); offset >= every offset held.
  // May throw std::bad_alloc, leaving the table as it was.
  void Set(std::uint64_t id, std::uint64_t offset);
  void Append(std::uint64_t offset) {
    // The common case, inline: a narrow block with room, the offset within its reach.
    const std::size_t k = size_ & kBlockMask;
    if (k != 0) {
      Block& block = blocks_.back();
      if (!block.wide && offset - block.base <= UINT32_MAX) {
        block.narrow[k] = static_cast<std::uint32_t>(offset - block.base);
        ++size_;
        return;
      }
    }
    Set(size_, offset);
  }

  // Bytes of the table written to (a block's tail not yet reached is address space only).
  std::uint64_t memory_usage() const;

 private:
  static constexpr unsigned kBlockShift = 16;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;

  struct Block {
    std::uint64_t base = 0;                    // the block's first offset
    std::unique_ptr<std::uint32_t[]> narrow;   // offset - base, while every one fits
    std::unique_ptr<std::uint64_t[]> wide;     // the offsets themselves, once one does not
  };

  // Stores one offset at id size_. May throw std::bad_alloc, leaving all as it was.
  void Push(std::uint64_t offset);

  std::vector<Block> blocks_;
  std::uint64_t size_ = 0;
};

}  // namespace kalvex::writer
