#include "core/writer/merged_keys.h"

#include <algorithm>
#include <cstring>

#include "core/same_bytes.h"

namespace kalvex::writer {

struct RunMerge::Cursor {
  // A run's cursor reads its records from `buffer`; the map's walks `order`.
  const KeyRuns::Run* run = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t capacity = 0;
  std::size_t begin = 0;  // the next record's first byte in the buffer
  std::size_t end = 0;    // bytes read into the buffer
  std::uint64_t file_pos = 0;
  const KeyMap::EntryList* entries = nullptr;
  const EntryOrder* order = nullptr;
  std::size_t next = 0;

  const std::uint8_t* key = nullptr;
  std::uint32_t length = 0;
  std::uint64_t obj_id = 0;
};

RunMerge::RunMerge(const KeyRuns& runs, const KeyMap::EntryList* map_entries, const EntryOrder* map_order,
                   std::size_t buffer_bytes) {
  cursors_.resize(runs.runs().size() + (map_entries != nullptr ? 1 : 0));
  const std::size_t capacity = std::max(buffer_bytes, KeyRuns::kMaxRecordSize);
  for (std::size_t r = 0; r < runs.runs().size(); ++r) {
    cursors_[r].run = &runs.runs()[r];
    cursors_[r].buffer.reset(new std::uint8_t[capacity]);
    cursors_[r].capacity = capacity;
  }
  if (map_entries != nullptr) {
    cursors_.back().entries = map_entries;
    cursors_.back().order = map_order;
  }
  heap_.reserve(cursors_.size());
  current_.reserve(0xFFFF);
}

RunMerge::~RunMerge() = default;

bool RunMerge::Advance(Cursor& c) {
  if (c.run == nullptr) {
    if (c.next == c.order->size()) return false;
    c.order->PrefetchAhead(*c.entries, c.next);
    const KeyMap::Entry& entry = (*c.entries)[(*c.order)[c.next++]];
    c.key = entry.key();
    c.length = entry.length();
    c.obj_id = entry.obj_id();
    return true;
  }
  const auto refill = [&](std::size_t need) {
    if (c.end - c.begin >= need) return true;
    std::memmove(c.buffer.get(), c.buffer.get() + c.begin, c.end - c.begin);
    c.end -= c.begin;
    c.begin = 0;
    const std::uint64_t take = std::min<std::uint64_t>(c.capacity - c.end, c.run->bytes - c.file_pos);
    if (take > 0) {
      Status read = KeyRuns::Read(*c.run, c.buffer.get() + c.end, take, c.file_pos);
      if (!read.ok()) {
        status_ = read.take_error();
        return false;
      }
      c.file_pos += take;
      c.end += take;
    }
    if (c.end - c.begin >= need) return true;
    if (c.end != c.begin) status_ = StoreError::IO("key run: ends inside a record");
    return false;
  };
  if (!refill(KeyRuns::kLengthSize)) return false;
  std::uint16_t length;
  std::memcpy(&length, c.buffer.get() + c.begin, sizeof length);
  const std::size_t record = KeyRuns::kLengthSize + length + KeyRuns::kObjectIdSize;
  if (!refill(record)) return false;
  const std::uint8_t* at = c.buffer.get() + c.begin;
  c.key = at + KeyRuns::kLengthSize;
  c.length = length;
  std::memcpy(&c.obj_id, c.key + length, sizeof c.obj_id);
  c.begin += record;
  return true;
}

bool RunMerge::Before(std::uint32_t a, std::uint32_t b) const {
  const Cursor& x = cursors_[a];
  const Cursor& y = cursors_[b];
  const std::uint32_t common = std::min(x.length, y.length);
  const int c = common == 0 ? 0 : std::memcmp(x.key, y.key, common);
  if (c != 0) return c < 0;
  if (x.length != y.length) return x.length < y.length;
  return a > b;  // the newer source first
}

void RunMerge::Push(std::uint32_t c) {
  heap_.push_back(c);
  std::push_heap(heap_.begin(), heap_.end(), [this](std::uint32_t a, std::uint32_t b) { return Before(b, a); });
}

std::uint32_t RunMerge::Pop() {
  std::pop_heap(heap_.begin(), heap_.end(), [this](std::uint32_t a, std::uint32_t b) { return Before(b, a); });
  const std::uint32_t c = heap_.back();
  heap_.pop_back();
  return c;
}

bool RunMerge::Next() {
  if (!status_.ok()) return false;
  if (!started_) {
    started_ = true;
    for (std::uint32_t c = 0; c < cursors_.size(); ++c) {
      if (Advance(cursors_[c])) Push(c);
      if (!status_.ok()) return false;
    }
  }
  if (heap_.empty()) return false;
  const std::uint32_t top = Pop();
  current_.assign(cursors_[top].key, cursors_[top].key + cursors_[top].length);
  obj_id_ = cursors_[top].obj_id;
  if (Advance(cursors_[top])) Push(top);
  // Older sources holding the same key step past it: their assignments were replaced.
  while (status_.ok() && !heap_.empty()) {
    const Cursor& c = cursors_[heap_.front()];
    if (c.length != current_.size() || !SameBytes(c.key, current_.data(), current_.size())) break;
    const std::uint32_t older = Pop();
    if (Advance(cursors_[older])) Push(older);
  }
  return status_.ok();
}

Result<std::uint64_t> RunMerge::Count(const KeyRuns& runs, KeyMap& map, std::size_t buffer_bytes) {
  const KeyMap::EntryList& entries = map.entries();
  const EntryOrder order(entries);
  RunMerge merge(runs, &entries, &order, buffer_bytes);
  std::uint64_t count = 0;
  while (merge.Next()) ++count;
  if (!merge.status().ok()) return merge.status().error();
  return count;
}

}  // namespace kalvex::writer
