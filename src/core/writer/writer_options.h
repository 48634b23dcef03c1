// WriterOptions: what a writer is told when it is made, before any object is added.
//
// The default (no budget, no destination) is the writer that holds everything in memory
// until its build, as the low-level module's writer must: its files are written whole at
// build. The package's writer gives both, so that a build is bounded by its keys rather
// than by its data.
#pragma once

#include <cstdint>
#include <string>

namespace kalvex::writer {

struct WriterOptions {
  // Bytes the writer's in-memory tables (values not yet in a file, keys, their indexes)
  // may take before it moves work to temporary files. 0: no bound, nothing leaves memory.
  std::uint64_t memory_limit = 0;
  // Where the build will be published, when the caller knows it at creation (UTF-8, as a
  // build's path). Values then go to that build's temporary file as they are added. Empty:
  // not known; values stay in memory up to the budget, then go to an anonymous file.
  std::string destination;
};

}  // namespace kalvex::writer
