#pragma once
// The device listeners of capture mode, on the system object and the main
// queue: the default input (device following and the deferred mic
// reconnect) while the mic is active, and the default output and default
// system output (system tap rebuild requests) while the system source is.
// They stay installed until the process ends.
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/audio/engine/pcm.h"

namespace helper {

class CaptureState;

// Holds the state strongly: each change asks for a rebuild of the system
// tap graph for the current output.
void installOutputDeviceListeners(const std::shared_ptr<CaptureState>& state);

// Holds the state weakly, with the canonical mic format and the mic gain a
// reconnect needs.
void installDefaultInputListener(const std::shared_ptr<CaptureState>& state,
                                 const platform::audio::AudioFormat& canonicalMicFormat, float micGain);

// One default-input notification, as the listener handles it on the main
// queue; `noticedAtNs` (default now) is when the change was noticed, earlier
// for one that a pause put off to the resume.
void handleDefaultInputNotification(const std::shared_ptr<CaptureState>& state,
                                    const platform::audio::AudioFormat& canonicalMicFormat, float micGain,
                                    std::optional<uint64_t> noticedAtNs = std::nullopt);

}  // namespace helper
