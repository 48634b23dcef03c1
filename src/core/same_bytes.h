// SameBytes: equality of two byte strings of one length, for the hash tables' probes.
//
// A probe that lands on its key compares the stored key with the one asked for, and
// keys are mostly short: a call into the library's general compare costs more than
// the comparison. Up to 16 bytes take two overlapping word reads from each side, so
// no byte outside either string is read; longer strings go to memcmp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kalvex {

namespace same_bytes_detail {
template <class Word>
inline Word Load(const std::uint8_t* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
// Both ends of [p, p + n) as two overlapping words. REQUIRES: sizeof(Word) <= n.
template <class Word>
inline bool SameEnds(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  return ((Load<Word>(a) ^ Load<Word>(b)) |
          (Load<Word>(a + n - sizeof(Word)) ^ Load<Word>(b + n - sizeof(Word)))) == 0;
}
}  // namespace same_bytes_detail

inline bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  using same_bytes_detail::SameEnds;
  if (n >= 8) return n <= 16 ? SameEnds<std::uint64_t>(a, b, n) : std::memcmp(a, b, n) == 0;
  if (n >= 4) return SameEnds<std::uint32_t>(a, b, n);
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

inline bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && SameBytes(a.data(), b.data(), a.size());
}

}  // namespace kalvex
