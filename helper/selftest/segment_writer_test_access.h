#pragma once
// Test seam of SegmentWriter: `open` and `write` returning the events they
// would emit, so a test mode or a unit test reads them without the
// process's event bus.
#include <vector>

#include "helper/core/segments/segment_writer.h"

namespace helper {

class SegmentWriterTestAccess {
 public:
  static std::vector<Event> open(SegmentWriter& writer) { return writer.openReturningEvents(); }
  static std::vector<Event> write(SegmentWriter& writer, const platform::audio::PCMBuffer& buffer) {
    return writer.writeReturningEvents(buffer);
  }
};

}  // namespace helper
