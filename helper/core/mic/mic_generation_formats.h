#pragma once
// The native input format of each mic engine generation, recorded before
// the generation becomes current so that the consumer never meets one
// without its format. At most kMax are kept; the smallest generations go
// first. Any thread.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "helper/thread_annotations.h"

namespace helper {

// The device, its route and its native format behind one generation.
struct MicGenerationFormat {
  uint32_t generation = 0;
  int64_t sampleRate = 0;
  int64_t channels = 0;
  std::string uid;
  std::string routeKind;
};

class MicGenerationFormats {
 public:
  static constexpr size_t kMax = 8;

  // Records the format and traces it.
  void record(uint32_t generation, int64_t sampleRate, int64_t channels, const std::string& uid,
              const std::string& routeKind, const std::string& reason);
  std::optional<MicGenerationFormat> find(uint32_t generation) const;
  void clear();

 private:
  mutable std::mutex lock_;
  std::map<uint32_t, MicGenerationFormat> formats_ VR_GUARDED_BY(lock_);
};

}  // namespace helper
