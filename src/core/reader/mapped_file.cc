#include "core/reader/mapped_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kalvex::reader {

Mapping::Mapping(Mapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_length_(std::exchange(other.mapped_length_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Unmap();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_length_ = std::exchange(other.mapped_length_, 0);
  }
  return *this;
}

void Mapping::Unmap() {
  if (data_ != nullptr) {
    ::munmap(const_cast<std::uint8_t*>(data_), mapped_length_);
    data_ = nullptr;
  }
}

void Mapping::DropPages(std::uint64_t first, std::uint64_t length) const {
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t begin = (first + page - 1) / page * page;
  const std::uint64_t end = (first + length) / page * page;
  // Advice only: if it fails the pages simply stay mapped.
  if (begin < end) ::madvise(const_cast<std::uint8_t*>(data_) + begin, end - begin, MADV_DONTNEED);
}

void Mapping::AdviseHugePages(std::uint64_t first) const {
  constexpr std::uint64_t kHugePage = std::uint64_t{2} << 20;
  const std::uint64_t begin = first / kHugePage * kHugePage;
  // Advice only: where it is not taken, 4 KiB pages serve as before.
  if (begin < mapped_length_) {
    ::madvise(const_cast<std::uint8_t*>(data_) + begin, mapped_length_ - begin, MADV_HUGEPAGE);
  }
}

Result<Mapping> MapWholeFile(const io::FileDescriptor& fd) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return StoreError::IO("mmap failed: " + OsErrorText(errno), errno);
  if (st.st_size < 0) return StoreError::IO("mmap failed: memory map length overflows isize");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // mmap refuses length 0; one byte of an empty file is mapped instead and never read,
  // since the header check needs 40.
  const std::size_t length = size == 0 ? 1 : static_cast<std::size_t>(size);
  void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) return StoreError::IO("mmap failed: " + OsErrorText(errno), errno);
  Mapping mapping;
  mapping.data_ = static_cast<const std::uint8_t*>(data);
  mapping.size_ = size;
  mapping.mapped_length_ = length;
  return mapping;
}

}  // namespace kalvex::reader
