// Placeholder bodies until the writer lands.
#include "core/writer/writer.h"

namespace kalvex::writer {

struct Writer::State {
  std::uint64_t objects = 0;
};

Writer::Writer() : state_(std::make_unique<State>()) {}
Writer::~Writer() = default;
std::uint64_t Writer::AddObject(std::span<const std::uint8_t>) { return state_->objects++; }
Status Writer::AddKey(std::span<const std::uint8_t>, std::uint64_t) {
  return StoreError::Invalid("add_key is not available yet");
}
std::uint64_t Writer::num_objects() const { return state_->objects; }
std::uint64_t Writer::num_keys() const { return 0; }
Result<BuildReport> Writer::Build(std::string_view) const {
  return StoreError::Invalid("build is not available yet");
}
std::string TemporaryPathFor(std::string_view destination) { return std::string(destination); }
std::string SummaryLine(std::string_view, const BuildReport&) { return {}; }
std::optional<std::string> PrintSummaryLine(std::string_view, const BuildReport&) { return {}; }

}  // namespace kalvex::writer
