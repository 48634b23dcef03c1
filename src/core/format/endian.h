// Alignment-safe big-endian loads and stores.
//
// Every integer in a container file is big-endian and unaligned, so fields are moved
// through memcpy (never a cast of a misaligned pointer) and swapped on little-endian hosts.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kalvex {

namespace endian_detail {
template <class T>
constexpr T ToBig(T v) {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(v));
    if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(v));
    if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(v));
  }
  return v;
}
template <class T>
inline T Load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return ToBig(v);
}
template <class T>
inline void Store(void* p, T v) {
  v = ToBig(v);
  std::memcpy(p, &v, sizeof v);
}
}  // namespace endian_detail

// Unchecked: the caller has verified that the bytes lie inside its buffer.
inline std::uint16_t LoadBe16(const void* p) { return endian_detail::Load<std::uint16_t>(p); }
inline std::uint32_t LoadBe32(const void* p) { return endian_detail::Load<std::uint32_t>(p); }
inline std::uint64_t LoadBe64(const void* p) { return endian_detail::Load<std::uint64_t>(p); }
inline void StoreBe16(void* p, std::uint16_t v) { endian_detail::Store(p, v); }
inline void StoreBe32(void* p, std::uint32_t v) { endian_detail::Store(p, v); }
inline void StoreBe64(void* p, std::uint64_t v) { endian_detail::Store(p, v); }

}  // namespace kalvex
