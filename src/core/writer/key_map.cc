#include "core/writer/key_map.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/same_bytes.h"

namespace kalvex::writer {

namespace {
// Linear probing stays short below three quarters full.
constexpr std::size_t kMinSlots = 16;
bool NeedsGrowth(std::size_t entries, std::size_t slots) { return entries * 4 > slots * 3; }

constexpr std::size_t kFirstArenaSize = std::size_t{4} << 10;
constexpr std::size_t kLargestArenaSize = std::size_t{1} << 20;

// Parked key bytes beyond this are placed at once, so the staging buffer stays small
// unless one key alone is larger.
constexpr std::size_t kStagingLimit = std::size_t{4} << 10;

// An empty key needs no storage but still gets a pointer that may be dereferenced.
constexpr std::uint8_t kNoBytes[1] = {0};

std::uint32_t Tag(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
std::uint64_t SlotWord(std::uint64_t hash, std::size_t entry) {
  return (std::uint64_t{Tag(hash)} << 32) | (entry + 1);
}
}  // namespace

KeyMap::KeyMap() : seed_(HashSeed::Fresh()), next_arena_size_(kFirstArenaSize) {}

std::size_t KeyMap::Probe(std::span<const std::uint8_t> key, std::uint64_t hash) const {
  const std::uint32_t tag = Tag(hash);
  std::size_t slot = Home(hash);
  for (;;) {
    const std::uint64_t word = slots()[slot];
    if (word == 0) return slot;
    if (static_cast<std::uint32_t>(word >> 32) == tag) {
      const Entry& entry = entries_[static_cast<std::uint32_t>(word) - 1];
      if (entry.length == key.size() && SameBytes(entry.key, key.data(), key.size())) {
        return slot;
      }
    }
    slot = (slot + 1) & mask_;
  }
}

io::LargeBuffer KeyMap::Rehashed(std::size_t slot_count) const {
  io::LargeBuffer table(slot_count * sizeof(std::uint64_t));  // zero-filled: all empty
  std::uint64_t* fresh = reinterpret_cast<std::uint64_t*>(table.data());
  const std::size_t mask = slot_count - 1;
  const unsigned bits = static_cast<unsigned>(std::countr_zero(slot_count));
  const std::size_t old_count = table_.data() != nullptr ? mask_ + 1 : 0;
  for (std::size_t old = 0; old < old_count; ++old) {
    const std::uint64_t word = slots()[old];
    if (word == 0) continue;
    std::size_t slot;
    if (bits <= 32) {
      slot = static_cast<std::size_t>((word >> 32) >> (32 - bits));
    } else {  // more home bits than the slot word keeps: only past 2^32 slots
      const Entry& entry = entries_[static_cast<std::uint32_t>(word) - 1];
      slot = static_cast<std::size_t>(HashBytes(entry.key, entry.length, seed_) >> (64 - bits));
    }
    while (fresh[slot] != 0) slot = (slot + 1) & mask;
    fresh[slot] = word;
  }
  return table;
}

bool KeyMap::Contains(std::span<const std::uint8_t> key) {
  Settle();
  if (table_.data() == nullptr) return false;
  return slots()[Probe(key, HashBytes(key.data(), key.size(), seed_))] != 0;
}

std::uint64_t KeyMap::size() {
  Settle();
  return entries_.size();
}

std::uint64_t KeyMap::memory_usage() const {
  return table_.mapped_size() + size_bound() * sizeof(Entry) + arena_used_ + staging_.capacity() +
         (pending_ ? kMaxPending * sizeof(Parked) : 0);
}

std::uint64_t KeyMap::PeakWithOneMore() const {
  const std::size_t slot_count = table_.data() != nullptr ? mask_ + 1 : 0;
  const std::size_t most = size_bound() + 1;
  std::uint64_t grown_bytes = 0;
  if (slot_count == 0 || NeedsGrowth(most, slot_count)) {
    std::size_t grown = std::max(kMinSlots, slot_count * 2);
    while (NeedsGrowth(most, grown)) grown *= 2;
    grown_bytes = grown * sizeof(std::uint64_t);
  }
  return memory_usage() + grown_bytes;
}

void KeyMap::Clear() {
  table_ = io::LargeBuffer();
  mask_ = 0;
  shift_ = 0;
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
  while (blocks_.size() < blocks) blocks_.emplace_back(new Entry[std::size_t{1} << kBlockShift]);
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
  arena_.reserve(arena_.size() + 1);
  arena_.push_back(std::move(fresh));
  next_arena_size_ = std::min(next_arena_size_ * 2, kLargestArenaSize);
}

void KeyMap::Settle() {
  if (pending_count_ == 0) return;

  // Room for every parked key as if all were new: table, entries and arena (each parked
  // key whole in the last chunk). Only after these can no step fail. A grown table or
  // chunk left unused by a later failure is harmless.
  const std::size_t most = entries_.size() + pending_count_;
  const std::size_t slot_count = table_.data() != nullptr ? mask_ + 1 : 0;
  if (slot_count == 0 || NeedsGrowth(most, slot_count)) {
    std::size_t grown = std::max(kMinSlots, slot_count * 2);
    while (NeedsGrowth(most, grown)) grown *= 2;
    table_ = Rehashed(grown);
    mask_ = grown - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(grown));
  }
  entries_.Reserve(most);
  ReserveArena(staging_.size());

  // Every home slot is asked for before any is looked at, so the cache misses of the
  // whole batch overlap. A prefetch in each Put did too, but this CPU retires a prefetch
  // only once its line has arrived, which held up the interpreter's work in every call.
  for (std::size_t i = 0; i < pending_count_; ++i) {
    __builtin_prefetch(&slots()[Home(pending_[i].hash)], 1);
  }
  // In arrival order, so a key parked twice ends with its later Object ID.
  for (std::size_t i = 0; i < pending_count_; ++i) {
    const Parked& parked = pending_[i];
    const std::span<const std::uint8_t> key(staging_.data() + parked.offset, parked.length);
    const std::size_t slot = Probe(key, parked.hash);
    std::uint64_t& word = slots()[slot];
    if (word != 0) {
      entries_[static_cast<std::uint32_t>(word) - 1].obj_id = parked.obj_id;
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
    entries_.PushBack(Entry{stored, parked.obj_id, parked.length});
    word = SlotWord(parked.hash, entries_.size() - 1);
  }
  pending_count_ = 0;
  staging_.clear();
}

}  // namespace kalvex::writer
