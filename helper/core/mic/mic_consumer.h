#pragma once
// The mic consumer thread: the ring's only reader. Turns ring bytes back
// into messages, drops stale generations and paused audio, converts each
// message to the canonical rate and hands it to the mic writer; answers
// drain requests, and reports the first buffer and the overflow.
#include <optional>

#include "platform/audio/engine/pcm.h"

namespace helper {

class MicPipeline;
class MicSource;

// The body of "tasmerig-mic-consumer": runs until the pipeline's ring is
// closed and empty. `writerFormat` is the output of every conversion.
void micConsumerThread(MicPipeline& pipeline, MicSource& mic,
                       const std::optional<platform::audio::AudioFormat>& writerFormat);

}  // namespace helper
