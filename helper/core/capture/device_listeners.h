#pragma once
// The device listeners of capture mode, on the system object and the main
// queue: the default input (device following and the deferred mic
// reconnect) while the mic is active, and the default output and default
// system output (system tap rebuild requests) while the system source is.
// They stay installed until the process ends.
#include <cstdint>
#include <memory>
#include <optional>

namespace helper {

class MicSource;
class SystemSource;

// Holds the source strongly: each change asks for a rebuild of the system
// tap graph for the current output.
void installOutputDeviceListeners(const std::shared_ptr<SystemSource>& system);

// Holds the source weakly.
void installDefaultInputListener(const std::shared_ptr<MicSource>& mic);

// One default-input notification, as the listener handles it on the main
// queue; `noticedAtNs` (default now) is when the change was noticed, earlier
// for one that a pause put off to the resume.
void handleDefaultInputNotification(const std::shared_ptr<MicSource>& mic,
                                    std::optional<uint64_t> noticedAtNs = std::nullopt);

}  // namespace helper
