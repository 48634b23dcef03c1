#include "core/io/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace kalvex::io {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

LargeBuffer::LargeBuffer(std::size_t size) {
  if (size == 0) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (size > SIZE_MAX - kHugePage - page) throw std::bad_alloc();
  const std::size_t length = (size + page - 1) / page * page;
  // Small tables gain nothing from huge pages; larger ones are placed on a 2 MiB
  // boundary (over-map, then trim both ends) so that whole huge pages fit inside.
  if (length < kHugePage) {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    mapped_ = length;
    return;
  }
  void* p = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  auto* raw = static_cast<std::uint8_t*>(p);
  const auto address = reinterpret_cast<std::uintptr_t>(raw);
  const std::size_t lead = (kHugePage - address % kHugePage) % kHugePage;
  if (lead != 0) ::munmap(raw, lead);
  const std::size_t trail = kHugePage - lead;
  if (trail != 0) ::munmap(raw + lead + length, trail);
  data_ = raw + lead;
  mapped_ = length;
  ::madvise(data_, mapped_, MADV_HUGEPAGE);  // advice only: failure leaves 4 KiB pages
}

void LargeBuffer::Shrink(std::size_t size) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t keep = (size + page - 1) / page * page;
  if (keep >= mapped_) return;
  if (keep == 0) {
    Release();
    mapped_ = 0;
    return;
  }
  ::munmap(data_ + keep, mapped_ - keep);
  mapped_ = keep;
}

void LargeBuffer::Release() {
  if (data_ != nullptr) {
    ::munmap(data_, mapped_);
    data_ = nullptr;
  }
}

}  // namespace kalvex::io
