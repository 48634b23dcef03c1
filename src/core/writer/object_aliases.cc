#include "core/writer/object_aliases.h"

#include <algorithm>

namespace kalvex::writer {

ObjectAliases::ObjectAliases(std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs, std::uint64_t object_count)
    : pairs_(std::move(pairs)) {
  if (pairs_.empty()) return;
  std::sort(pairs_.begin(), pairs_.end());
  bits_.resize((object_count + 63) / 64);
  for (const auto& [alias, original] : pairs_) bits_[alias / 64] |= std::uint64_t{1} << (alias % 64);
}

std::uint64_t ObjectAliases::Original(std::uint64_t alias) const {
  const auto found = std::lower_bound(pairs_.begin(), pairs_.end(), alias,
                                      [](const auto& pair, std::uint64_t id) { return pair.first < id; });
  return found->second;
}

void ObjectAliases::Fold(std::vector<std::uint8_t>& reached) const {
  for (const auto& [alias, original] : pairs_) {
    reached[original] |= reached[alias];
    reached[alias] = 0;
  }
}

}  // namespace kalvex::writer
