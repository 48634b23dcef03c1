#include "core/writer/object_offsets.h"

#include <algorithm>

namespace kalvex::writer {

void ObjectOffsets::Set(std::uint64_t id, std::uint64_t offset) {
  // Each push allocates (if at all) before it changes anything, so a throw leaves the
  // ids pushed so far; those are undone to keep the table as it was.
  const std::uint64_t before = size_;
  const std::size_t blocks_before = blocks_.size();
  try {
    while (size_ <= id) Push(offset);
  } catch (...) {
    size_ = before;
    blocks_.resize(blocks_before);
    throw;
  }
}

void ObjectOffsets::Push(std::uint64_t offset) {
  const std::size_t k = size_ & kBlockMask;
  if (k == 0) {
    // A fresh block, based at its first offset.
    blocks_.reserve(blocks_.size() + 1);
    Block block;
    block.base = offset;
    block.narrow.reset(new std::uint32_t[kBlockSize]);
    blocks_.push_back(std::move(block));  // room reserved: cannot throw
  }
  Block& block = blocks_.back();
  if (!block.wide && offset - block.base > UINT32_MAX) {
    // The block spans more than 32 bits of offsets: from now on it holds them whole.
    std::unique_ptr<std::uint64_t[]> wide(new std::uint64_t[kBlockSize]);
    for (std::size_t i = 0; i < k; ++i) wide[i] = block.base + block.narrow[i];
    block.wide = std::move(wide);
    block.narrow.reset();
  }
  if (block.wide) {
    block.wide[k] = offset;
  } else {
    block.narrow[k] = static_cast<std::uint32_t>(offset - block.base);
  }
  ++size_;
}

std::uint64_t ObjectOffsets::memory_usage() const {
  std::uint64_t bytes = blocks_.capacity() * sizeof(Block);
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    const std::uint64_t held = std::min<std::uint64_t>(kBlockSize, size_ - (std::uint64_t{b} << kBlockShift));
    bytes += held * (blocks_[b].wide ? sizeof(std::uint64_t) : sizeof(std::uint32_t));
  }
  return bytes;
}

}  // namespace kalvex::writer
