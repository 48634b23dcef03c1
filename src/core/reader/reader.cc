// Placeholder bodies until the reader lands.
#include "core/reader/reader.h"

namespace kalvex::reader {

struct Reader::State {
  std::string path;
};

Reader::Reader() : state_(std::make_unique<State>()) {}
Reader::~Reader() = default;
Result<std::unique_ptr<Reader>> Reader::Open(std::string, bool) {
  return StoreError::Invalid("opening a store is not available yet");
}
const std::string& Reader::path() const { return state_->path; }
std::uint32_t Reader::num_keys() const { return 0; }
std::uint32_t Reader::num_objects() const { return 0; }
std::uint64_t Reader::index_offset() const { return 40; }
std::uint64_t Reader::file_size() const { return 40; }
std::uint32_t Reader::file_crc32() const { return 0; }
std::size_t Reader::entry_count() const { return 0; }
Bytes Reader::key(std::size_t) const { return {}; }
std::uint64_t Reader::object_offset(std::size_t) const { return 0; }
std::optional<std::uint64_t> Reader::Find(Bytes) const { return std::nullopt; }
Result<Bytes> Reader::FetchObject(std::uint64_t) const { return StoreError::Invalid("not available yet"); }
std::pair<std::size_t, std::size_t> Reader::PrefixRange(Bytes) const { return {0, 0}; }
Result<std::vector<Bytes>> Reader::FetchRange(std::size_t, std::size_t) const {
  return std::vector<Bytes>{};
}
Result<std::vector<Bytes>> Reader::FetchUniqueObjects() const { return std::vector<Bytes>{}; }
Status Reader::Verify() const { return StoreError::Invalid("not available yet"); }
std::string FormatCrc(std::uint32_t) { return "0x00000000"; }

}  // namespace kalvex::reader
