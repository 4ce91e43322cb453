#pragma once
// Evidence that a source delivers audio again: fresh frames from a given
// device, handed by the consumer threads to the source recovery.
#include <cstdint>
#include <string>

namespace helper {

struct SourceRecoveryFrameProof {
  std::string uid;
  int64_t sampleRate = 0;
  int64_t channels = 0;
  uint32_t generation = 0;
  int64_t frames = 0;
  uint64_t observedAtNs = 0;
};

}  // namespace helper
