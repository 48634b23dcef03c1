// The Reader's calls that serve a mapped index and a parsed index section alike, and
// the mapped index's halves of the others (see reader.h).
#include <algorithm>

#include "core/reader/offset_set.h"
#include "core/reader/reader.h"

namespace kalvex::reader {

namespace {
// Keys looked up together by FetchMany: enough misses in flight to fill the memory
// system's queues, few enough that each group's slots and entries stay in the L1 cache.
constexpr std::size_t kGroup = 32;
// How many entries ahead the walks ask for an object record or a seen-set slot.
constexpr std::size_t kAhead = 16;
}  // namespace

Result<std::optional<std::uint64_t>> Reader::Lookup(Bytes key) const {
  if (mapped_) return mapped_->Find(key);
  return std::optional<std::uint64_t>(Find(key));
}

Status Reader::FetchMany(const std::uint8_t* keys, const std::size_t* ends, std::size_t first, std::size_t last,
                         Bytes* out) const {
  std::uint64_t hashes[kGroup];
  std::uint64_t offsets[kGroup];
  bool found[kGroup];
  const std::uint64_t size = file_.size();
  for (std::size_t base = first; base < last; base += kGroup) {
    const std::size_t m = std::min(kGroup, last - base);
    const auto key = [&](std::size_t j) {
      const std::size_t i = base + j;
      const std::size_t begin = i == 0 ? 0 : ends[i - 1];
      return Bytes(keys + begin, ends[i] - begin);
    };
    // Each pass starts the loads the next one waits on, for the whole group at once.
    if (mapped_) {
      for (std::size_t j = 0; j < m; ++j) {
        hashes[j] = mapped_->Hash(key(j));
        mapped_->PrefetchSlot(hashes[j]);
      }
      for (std::size_t j = 0; j < m; ++j) mapped_->PrefetchEntry(hashes[j]);
      for (std::size_t j = 0; j < m; ++j) {
        Result<std::optional<std::uint64_t>> offset = mapped_->Find(key(j), hashes[j]);
        if (!offset.ok()) return offset.take_error();
        found[j] = offset.value().has_value();
        offsets[j] = found[j] ? *offset.value() : 0;
      }
    } else if (entries_.size() != 0) {
      for (std::size_t j = 0; j < m; ++j) {
        hashes[j] = index_.Hash(key(j));
        index_.PrefetchSlot(hashes[j]);
      }
      for (std::size_t j = 0; j < m; ++j) index_.PrefetchEntry(entries_, hashes[j]);
      for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t position = index_.FindHashed(entries_, key(j), hashes[j]);
        found[j] = position != HashIndex::kNotFound;
        offsets[j] = found[j] ? entries_.ObjectOffsetAt(position) : 0;
      }
    } else {
      std::fill(found, found + m, false);
    }
    for (std::size_t j = 0; j < m; ++j) {
      if (found[j] && offsets[j] < size) __builtin_prefetch(file_.data() + offsets[j]);
    }
    for (std::size_t j = 0; j < m; ++j) {
      if (!found[j]) {
        out[base - first + j] = Bytes();
        continue;
      }
      Result<Bytes> payload = FetchObject(offsets[j]);
      if (!payload.ok()) return payload.take_error();
      out[base - first + j] = payload.value();
    }
  }
  return {};
}

Status Reader::ReadEntries(std::size_t first, std::size_t last, std::vector<Bytes>& keys,
                           std::vector<std::uint64_t>& offsets) const {
  return WalkEntries(first, last, [&](std::size_t, Bytes key, std::uint64_t offset) {
    keys.push_back(key);
    offsets.push_back(offset);
  });
}

Result<std::pair<std::size_t, std::size_t>> Reader::SearchPrefix(Bytes prefix) const {
  if (mapped_) return mapped_->PrefixRange(prefix);
  return PrefixRange(prefix);
}

Status Reader::FetchOffsets(const std::vector<std::uint64_t>& offsets, std::vector<Bytes>& out) const {
  const std::uint64_t size = file_.size();
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    // Key order is random order in the data section: asking for the record a few keys
    // ahead lets those cache misses overlap.
    if (i + kAhead < offsets.size() && offsets[i + kAhead] < size) {
      __builtin_prefetch(file_.data() + offsets[i + kAhead]);
    }
    Result<Bytes> payload = FetchObject(offsets[i]);
    if (!payload.ok()) return payload.take_error();
    out.push_back(payload.value());
  }
  return {};
}

Result<std::vector<Bytes>> Reader::MappedFetchRange(std::size_t first, std::size_t last) const {
  std::vector<Bytes> payloads;
  last = std::min(last, entry_count());
  if (last <= first) return payloads;
  std::vector<Bytes> keys;
  std::vector<std::uint64_t> offsets;
  keys.reserve(last - first);
  offsets.reserve(last - first);
  if (Status read = ReadEntries(first, last, keys, offsets); !read.ok()) return read.take_error();
  payloads.reserve(offsets.size());
  if (Status fetched = FetchOffsets(offsets, payloads); !fetched.ok()) return fetched.take_error();
  return payloads;
}

Result<std::vector<Bytes>> Reader::MappedFetchUniqueObjects(std::vector<std::uint64_t>* offsets) const {
  std::vector<Bytes> payloads;
  const std::size_t n = entry_count();
  if (n == 0) return payloads;
  OffsetSet seen(n);
  std::optional<StoreError> failure;
  Status walked = mapped_->Walk(0, n, [&](std::size_t, const MappedIndex::Entry& entry) {
    if (!seen.Insert(entry.object_offset)) return true;
    Result<Bytes> payload = FetchObject(entry.object_offset);
    if (!payload.ok()) {
      failure = payload.take_error();
      return false;
    }
    payloads.push_back(payload.value());
    if (offsets != nullptr) offsets->push_back(entry.object_offset);
    return true;
  });
  if (!walked.ok()) return walked.take_error();
  if (failure) return *failure;
  return payloads;
}

Status Reader::Verify() const {
  if (Status structure = VerifyStructure(); !structure.ok()) return structure;
  return VerifyValues();
}

Status Reader::VerifyStructure() const {
  // A reader that parsed the index section checks the file as every reader of the format
  // does. (Opened with map_index, such a reader's file declares no mapped index.)
  if (!mapped_) return VerifyObjects(entries_);
  // The check needs every entry and the answer the parsed index gives for it: they are
  // built here, for the check's duration, as an open without the mapped index builds them.
  Result<EntryTable> entries = EntryTable::Parse(file_.data(), file_.size(), index_offset_, num_keys_);
  if (!entries.ok()) {
    // The whole-file CRC's failure comes first, as in every other check.
    if (Status crc = VerifyObjects(EntryTable()); !crc.ok()) return crc;
    return entries.take_error();
  }
  if (entries.value().arena_size() > HashIndex::kMaxArenaSize) {
    return StoreError::IO("index section of " + std::to_string(entries.value().arena_size()) +
                          " bytes is too large to load");
  }
  const HashIndex index = HashIndex::Build(entries.value());
  if (Status objects = VerifyObjects(entries.value()); !objects.ok()) return objects;
  return mapped_->Check(file_.data(), entries.value(), index);
}

}  // namespace kalvex::reader
