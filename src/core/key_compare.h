// Key order and prefixes, as every listing and prefix search sees them: unsigned bytes,
// the first difference decides, a proper prefix sorts first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace kalvex {

inline bool KeyLess(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t common = std::min(a.size(), b.size());
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return c < 0 || (c == 0 && a.size() < b.size());
}

inline bool StartsWith(std::span<const std::uint8_t> key, std::span<const std::uint8_t> prefix) {
  return key.size() >= prefix.size() &&
         (prefix.empty() || std::memcmp(key.data(), prefix.data(), prefix.size()) == 0);
}

}  // namespace kalvex
