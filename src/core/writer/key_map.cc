#include "core/writer/key_map.h"

#include <algorithm>
#include <array>
#include <new>
#include <cstring>

#include "core/same_bytes.h"

namespace kalvex::writer {

namespace {
constexpr std::size_t kFirstArenaSize = std::size_t{4} << 10;
constexpr std::size_t kLargestArenaSize = std::size_t{1} << 20;

// Parked key bytes beyond this are placed at once, so the staging buffer stays small
// unless one key alone is larger.
constexpr std::size_t kStagingLimit = std::size_t{4} << 10;

// An empty key needs no storage but still gets a pointer that may be dereferenced.
constexpr std::uint8_t kNoBytes[1] = {0};
}  // namespace

KeyMap::KeyMap() : seed_(HashSeed::Fresh()), next_arena_size_(kFirstArenaSize) {}

std::uint64_t* KeyMap::Probe(std::span<const std::uint8_t> key, std::uint64_t hash) const {
  return table_.Probe(hash, [&](std::uint64_t index) {
    const Entry& entry = entries_[index];
    return entry.length() == key.size() && SameBytes(entry.key(), key.data(), key.size());
  });
}

void KeyMap::RefillTable() {
  try {
    // Entries are distinct keys: each goes to the first empty slot from its home.
    const auto never = [](std::uint64_t) { return false; };
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& entry = entries_[i];
      const std::uint64_t hash = HashBytes(entry.key(), entry.length(), seed_);
      table_.Reserve(TaggedSlots::SegmentOf(hash), 1);
      table_.Fill(table_.Probe(hash, never), hash, i);
    }
  } catch (const std::bad_alloc&) {
    table_.Release();
    throw;
  }
  table_released_ = false;
}

void KeyMap::ReleaseTable() {
  Settle();
  table_.Release();
  table_released_ = entries_.size() > 0;
}

bool KeyMap::Contains(std::span<const std::uint8_t> key) {
  Settle();
  if (table_released_) RefillTable();
  const std::uint64_t* slot = Probe(key, HashBytes(key.data(), key.size(), seed_));
  return slot != nullptr && *slot != 0;
}

std::uint64_t KeyMap::size() {
  Settle();
  return entries_.size();
}

std::uint64_t KeyMap::memory_usage() const {
  return table_.memory_usage() + size_bound() * sizeof(Entry) + arena_used_ + staging_.capacity() +
         (pending_ ? kMaxPending * sizeof(Parked) : 0);
}

std::uint64_t KeyMap::PeakWithOneMore() const {
  const std::uint64_t refill = table_released_ ? TaggedSlots::BytesFor(size_bound() + 1) : 0;
  return memory_usage() + refill + table_.GrowthBytes();
}

void KeyMap::Clear() {
  table_.Release();
  table_released_ = false;
  entries_ = EntryList();
  arena_.clear();
  arena_.shrink_to_fit();
  arena_used_ = 0;
  next_arena_size_ = kFirstArenaSize;
  pending_count_ = 0;
  staging_.clear();
}

void KeyMap::EntryList::Reserve(std::size_t count) {
  const std::size_t blocks = (count + kBlockMask) >> kBlockShift;
  if (blocks <= blocks_.size()) return;
  blocks_.reserve(blocks);
  while (blocks_.size() < blocks) blocks_.emplace_back(new Block);
}

const KeyMap::EntryList& KeyMap::entries() {
  Settle();
  return entries_;
}

void KeyMap::Put(std::span<const std::uint8_t> key, std::uint64_t obj_id) {
  if (!pending_) pending_ = std::make_unique<Parked[]>(kMaxPending);
  if (pending_count_ == kMaxPending ||
      (pending_count_ > 0 && staging_.size() + key.size() > kStagingLimit)) {
    Settle();
  }
  const std::uint64_t hash = HashBytes(key.data(), key.size(), seed_);
  // The staging buffer may grow here; nothing has changed yet if that throws.
  const std::size_t offset = staging_.size();
  staging_.insert(staging_.end(), key.begin(), key.end());
  pending_[pending_count_++] =
      Parked{hash, obj_id, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(key.size())};
}

void KeyMap::ReserveArena(std::size_t bytes) {
  ArenaChunk* chunk = arena_.empty() ? nullptr : &arena_.back();
  if (bytes == 0 || (chunk && chunk->capacity - chunk->used >= bytes)) return;
  ArenaChunk fresh;
  fresh.capacity = std::max(next_arena_size_, bytes);
  fresh.data.reset(new std::uint8_t[fresh.capacity]);
  // An entry holds 48 bits of its key's address (see Entry).
  if (reinterpret_cast<std::uintptr_t>(fresh.data.get()) >= kAddressLimit - fresh.capacity) throw std::bad_alloc();
  arena_.reserve(arena_.size() + 1);
  arena_.push_back(std::move(fresh));
  next_arena_size_ = std::min(next_arena_size_ * 2, kLargestArenaSize);
}

void KeyMap::Settle() {
  if (pending_count_ == 0) return;

  // Room for every parked key as if all were new: table, entries and arena (each parked
  // key whole in the last chunk). Only after these can no step fail. A grown segment or
  // chunk left unused by a later failure is harmless.
  if (table_released_) RefillTable();
  const std::size_t most = entries_.size() + pending_count_;
  std::array<std::size_t, TaggedSlots::kSegments> arriving{};
  for (std::size_t i = 0; i < pending_count_; ++i) ++arriving[TaggedSlots::SegmentOf(pending_[i].hash)];
  for (std::size_t s = 0; s < arriving.size(); ++s) {
    if (arriving[s] != 0) table_.Reserve(s, arriving[s]);
  }
  entries_.Reserve(most);
  ReserveArena(staging_.size());

  // Every home slot is asked for before any is looked at, so the cache misses of the
  // whole batch overlap. A prefetch in each Put did too, but this CPU retires a prefetch
  // only once its line has arrived, which held up the interpreter's work in every call.
  for (std::size_t i = 0; i < pending_count_; ++i) table_.Prefetch(pending_[i].hash);
  // In arrival order, so a key parked twice ends with its later Object ID.
  for (std::size_t i = 0; i < pending_count_; ++i) {
    const Parked& parked = pending_[i];
    const std::span<const std::uint8_t> key(staging_.data() + parked.offset, parked.length);
    std::uint64_t* slot = Probe(key, parked.hash);
    if (*slot != 0) {
      entries_[TaggedSlots::IdOf(*slot)].set_obj_id(parked.obj_id);
      continue;
    }
    const std::uint8_t* stored = kNoBytes;
    if (!key.empty()) {
      ArenaChunk& chunk = arena_.back();
      std::uint8_t* dest = chunk.data.get() + chunk.used;
      std::memcpy(dest, key.data(), key.size());
      chunk.used += key.size();
      arena_used_ += key.size();
      stored = dest;
    }
    entries_.PushBack(Entry(stored, parked.obj_id, parked.length));
    table_.Fill(slot, parked.hash, entries_.size() - 1);
  }
  pending_count_ = 0;
  staging_.clear();
}

}  // namespace kalvex::writer
