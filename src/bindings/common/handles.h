// The deleters of the C interface's handles, for the instances that own them.
#pragma once

#include "kalvex.h"

namespace kalvex::bindings {

struct CloseReader {
  void operator()(kalvex_reader* reader) const { kalvex_reader_close(reader); }
};

struct FreeWriter {
  void operator()(kalvex_writer* writer) const { kalvex_writer_free(writer); }
};

}  // namespace kalvex::bindings
