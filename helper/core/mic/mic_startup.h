#pragma once
// Capture start-up's microphone side: the engine, the canonical format and
// converter, the first mic segment, the consumer thread, the input tap and
// the engine start; and its teardown when start-up fails later.
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/audio/engine/pcm.h"

namespace helper {

class MicSource;

// What the mic pipeline looked like at start-up.
struct MicStartup {
  bool active = false;
  bool denied = false;
  double hardwareRate = 0;
  int64_t hardwareChannels = 0;
  bool hardwareInterleaved = false;
  int64_t bufferFrames = 0;
  float gain = 0;
  std::optional<platform::audio::AudioFormat> canonical;
};

// Builds and starts the mic side on the main thread. Fatal problems end the
// process ("no_input_device", "engine_init_failed").
MicStartup startMicPipeline(const std::shared_ptr<MicSource>& mic);

// Removes the tap, stops the engine, closes the ring and waits up to
// timeoutNs for the consumer; false when it did not end in time.
bool stopMicPipeline(MicSource& mic, uint64_t timeoutNs);

}  // namespace helper
