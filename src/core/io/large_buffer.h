// LargeBuffer: a zero-filled, page-granular allocation for big tables and buffers.
//
// The reader's hash index and key arena are read at random positions, a few per lookup.
// In 4 KiB pages a table of a million keys spans thousands of pages and almost every
// probe misses the TLB, which under virtualisation costs as much as the memory access
// itself. These buffers come straight from mmap, aligned to 2 MiB and advised for huge
// pages, so the kernel can back them with 2 MiB pages where it has them. The pages
// arrive zero-filled and untouched, so an unused tail costs address space only. The
// writer's payload chunks gain too: filling them costs one page fault per huge page
// instead of one per 4 KiB page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kalvex::io {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  // `size` bytes, zero-filled. Throws std::bad_alloc.
  explicit LargeBuffer(std::size_t size);
  LargeBuffer(LargeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = std::exchange(other.data_, nullptr);
      mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
  }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { Release(); }

  std::uint8_t* data() const { return data_; }
  // Bytes held, rounded up to whole pages.
  std::size_t mapped_size() const { return mapped_; }
  // Gives back the whole pages past the first `size` bytes, which stay as they are.
  void Shrink(std::size_t size);

 private:
  void Release();

  std::uint8_t* data_ = nullptr;
  std::size_t mapped_ = 0;
};

}  // namespace kalvex::io
