#pragma once
// Evidence that a source delivers audio again: fresh frames from a given
// device, handed by the consumer threads to the source recovery.
#include <cstdint>
#include <optional>
#include <string>

namespace helper {

struct SourceRecoveryFrameProof {
  std::string uid;
  int64_t sampleRate = 0;
  int64_t channels = 0;
  std::optional<uint32_t> generation;  // the mic engine generation; absent for the system tap
  int64_t frames = 0;                  // native frames of this batch
  uint64_t observedAtNs = 0;           // monotonic time of the batch
};

}  // namespace helper
