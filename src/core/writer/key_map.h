// KeyMap: a writer's keys, each mapped to one Object ID.
//
// Keys are copied into an arena of large chunks (a key never straddles two), and each
// distinct key has one entry (key pointer, length, Object ID) in insertion order. The
// entries are found through a hash table of entry indices (tagged_slots.h), hashed with
// HashBytes under a seed drawn fresh for every map, so which keys collide is not
// predictable from outside and differs between writers.
// Invariant: the table names every entry exactly once, or it has been released
// (ReleaseTable) and names none; entries are never removed.
//
// Only finding a key needs the table: a build reads the entries alone. So a build
// releases it before it takes memory of its own (the key order, the mapped index), and
// the next Put or Contains fills it again from the entries, under the same seed.
//
// Placement is deferred. With a million keys the table is far larger than the CPU caches,
// so placing a key the moment it arrives waits on memory once per key, in between the
// interpreter's work of the calls. Put instead hashes the key and parks it (bytes in a
// small staging buffer); up to kMaxPending parked keys are placed together, in arrival
// order, after the home slots of all of them have been asked for at once.
// Every reader of the map (size, entries, Contains) places the parked keys first, so
// nothing outside can tell: the map it sees is the map of all Puts so far, the last
// Object ID of a key winning. A parked key that turns out to be present already costs no
// arena space.
//
// Not thread-safe, readers included (they finish deferred placement). Copying is deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "core/format/keyed_hash.h"
#include "core/writer/tagged_slots.h"

namespace kalvex::writer {

class KeyMap {
 public:
  // One entry a key, 12 bytes: the key's address in 48 bits (every address a process
  // gets from the system on the platforms built for; ReserveArena refuses any other), its
  // length in the format's 16 bits, and its Object ID in 32 bits, as many as the format
  // counts objects (AddKey refuses a larger one). At 4M keys the 4 bytes an entry saved
  // over a plain pointer and a 64-bit ID were what brought the writer under 64 bytes a key.
  class Entry {
   public:
    Entry(const std::uint8_t* key, std::uint64_t obj_id, std::size_t length)
        : key_low_(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key))),
          key_high_(static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(key) >> 32)),
          length_(static_cast<std::uint16_t>(length)),
          obj_id_(static_cast<std::uint32_t>(obj_id)) {}
    const std::uint8_t* key() const {
      return reinterpret_cast<const std::uint8_t*>(std::uintptr_t{key_high_} << 32 | key_low_);
    }
    std::uint32_t length() const { return length_; }
    std::uint64_t obj_id() const { return obj_id_; }
    void set_obj_id(std::uint64_t obj_id) { obj_id_ = static_cast<std::uint32_t>(obj_id); }

   private:
    std::uint32_t key_low_;
    std::uint16_t key_high_;
    std::uint16_t length_;
    std::uint32_t obj_id_;
  };
  static_assert(sizeof(Entry) == 12 && sizeof(std::uintptr_t) == 8);
  static constexpr std::uint64_t kMaxObjectId = 0xFFFFFFFFu;
  static constexpr std::uintptr_t kAddressLimit = std::uintptr_t{1} << 48;

  // The entries in first-Put order, in blocks that never move. A list that doubles copies
  // itself and leaves the old half to be freed; at a million keys, asking the system for
  // that memory (fresh pages come zero-filled) cost the writer more than placing the keys.
  class EntryList {
   public:
    std::size_t size() const { return size_; }
    const Entry& operator[](std::size_t i) const {
      return reinterpret_cast<const Entry*>(blocks_[i >> kBlockShift]->bytes)[i & kBlockMask];
    }
    Entry& operator[](std::size_t i) { return reinterpret_cast<Entry*>(blocks_[i >> kBlockShift]->bytes)[i & kBlockMask]; }

   private:
    friend class KeyMap;
    static constexpr unsigned kBlockShift = 16;  // 768 KiB blocks
    static constexpr std::size_t kBlockMask = (std::size_t{1} << kBlockShift) - 1;

    // Room for `count` entries. May throw std::bad_alloc, leaving the list as it was.
    void Reserve(std::size_t count);
    // REQUIRES: Reserve(size() + 1) has been done.
    void PushBack(const Entry& entry) { new (&(*this)[size_++]) Entry(entry); }

    // Raw storage: an Entry has no default value.
    struct Block {
      alignas(Entry) std::uint8_t bytes[sizeof(Entry) << kBlockShift];
    };
    std::vector<std::unique_ptr<Block>> blocks_;
    std::size_t size_ = 0;
  };

  // The table's words hold an entry index in 32 bits, so one map indexes at most this
  // many entries; the format allows exactly this many keys too.
  static constexpr std::uint64_t kMaxEntries = TaggedSlots::kMaxId + 1;

  KeyMap();
  KeyMap(const KeyMap&) = delete;
  KeyMap& operator=(const KeyMap&) = delete;

  // Maps `key` to `obj_id`, replacing the Object ID of an existing equal key.
  // REQUIRES: size_bound() < kMaxEntries, or the map holds `key` already (see Contains);
  // key.size() <= 0xFFFF; obj_id <= kMaxObjectId.
  // On std::bad_alloc the map is unchanged.
  void Put(std::span<const std::uint8_t> key, std::uint64_t obj_id);
  bool Contains(std::span<const std::uint8_t> key);

  // The number of distinct keys, and the entries in first-Put order. Both place the
  // parked keys first, which may throw std::bad_alloc (then the map is unchanged).
  std::uint64_t size();
  const EntryList& entries();
  // At least size(), at most size() + kMaxPending, without placing anything.
  std::uint64_t size_bound() const { return entries_.size() + pending_count_; }

  // Bytes the map has written to: table, entries, arena, staging (memory allocated but
  // never written is address space only). The next Put may take it to PeakWithOneMore():
  // a table that grows holds its old and new slots at once, for a moment, and a released
  // one is filled again.
  std::uint64_t memory_usage() const;
  std::uint64_t PeakWithOneMore() const;

  // Places the parked keys, then gives back the table's memory until the next Put or
  // Contains. May throw std::bad_alloc (placing), then the map is unchanged.
  void ReleaseTable();

  // Forgets every key and gives back the memory, as a fresh map. Parked keys go too.
  void Clear();

  // How many keys wait for placement at most.
  static constexpr std::size_t kMaxPending = 128;

 private:
  struct ArenaChunk {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t used = 0;
    std::size_t capacity = 0;
  };

  struct Parked {
    std::uint64_t hash;
    std::uint64_t obj_id;
    std::uint32_t offset;  // into staging_
    std::uint32_t length;
  };

  // The slot holding `key`, or the empty slot where it would go; null when the key's
  // segment of the table has no slots.
  std::uint64_t* Probe(std::span<const std::uint8_t> key, std::uint64_t hash) const;
  // A released table filled again with every entry. std::bad_alloc leaves it released.
  void RefillTable();
  // Places every parked key. Allocates first, so std::bad_alloc leaves all as it was.
  void Settle();
  // Arena room for `bytes` in the last chunk, allocating a chunk if needed.
  void ReserveArena(std::size_t bytes);

  HashSeed seed_;
  TaggedSlots table_;  // ids are entry indices
  bool table_released_ = false;
  EntryList entries_;
  std::vector<ArenaChunk> arena_;
  std::uint64_t arena_used_ = 0;  // key bytes in the chunks
  std::size_t next_arena_size_;

  std::unique_ptr<Parked[]> pending_;  // kMaxPending records, allocated by the first Put
  std::size_t pending_count_ = 0;
  std::vector<std::uint8_t> staging_;  // the parked keys' bytes, back to back
};

}  // namespace kalvex::writer
