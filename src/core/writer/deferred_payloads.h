// DeferredPayloads: the payloads a writer stored without indexing them, once its payload
// index reached its share of the memory budget, and the build's search for repeats among
// them.
//
// Past its share the payload index stops growing (payload_index.h): it keeps answering for
// the objects it holds, and a later payload that none of them holds is stored as a new
// object, a deferred one, even when an equal payload was deferred before. Each deferred
// object's (payload hash, object id) goes to a scratch file (io/scratch_file.h), 16 bytes
// in host byte order, as the file lives and dies with this process. A deferred payload
// never equals an indexed one (the index was asked first), so the repeats the index missed
// all lie among the deferred objects.
//
// Resolve sorts the records by hash within a memory share, a group of hash ranges at a
// time (each a pass over the file), and compares the payloads of equal hashes byte for
// byte, read back from the object list: each deferred object equal to an earlier one is an
// alias of the earliest (object_aliases.h).
//
// A failed write never fails an add: it is kept, and Resolve reports it, as the object
// list does for its spool. Not thread-safe. Copying is deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/io/file.h"
#include "core/result.h"
#include "core/writer/object_aliases.h"
#include "core/writer/object_list.h"

namespace kalvex::writer {

class DeferredPayloads {
 public:
  // The scratch file goes to `directory` (empty: the system's temporary directory).
  explicit DeferredPayloads(std::string directory) : directory_(std::move(directory)) {}
  DeferredPayloads(const DeferredPayloads&) = delete;
  DeferredPayloads& operator=(const DeferredPayloads&) = delete;

  // Makes sure the next Append needs no memory. May throw std::bad_alloc, changing nothing.
  void Reserve();
  // Records object `id`, of payload hash `hash`. REQUIRES: Reserve since the last Append;
  // ids ascending. Does not throw: a failure to write is kept for Resolve.
  void Append(std::uint64_t hash, std::uint64_t id) noexcept;

  std::uint64_t count() const { return count_; }
  // Bytes held in memory: the write buffer.
  std::uint64_t memory_usage() const;

  // The aliases among the deferred objects of `objects`, sorting within about
  // `memory_bytes`. Fails with KalvIOError when the scratch file could not be written or
  // read, or a payload read back (then as objects.failure()). May throw std::bad_alloc.
  Result<ObjectAliases> Resolve(const ObjectList& objects, std::uint64_t memory_bytes);

 private:
  struct Record {
    std::uint64_t hash;
    std::uint64_t id;
  };
  static constexpr std::size_t kBufferRecords = 4096;

  void Flush() noexcept;
  Status Read(Record* out, std::size_t n, std::uint64_t first) const;

  std::string directory_;
  io::FileDescriptor file_;
  std::unique_ptr<Record[]> buffer_;
  std::size_t buffered_ = 0;
  std::uint64_t count_ = 0;    // records appended
  std::uint64_t written_ = 0;  // records in the file
  std::optional<StoreError> failure_;
};

}  // namespace kalvex::writer
