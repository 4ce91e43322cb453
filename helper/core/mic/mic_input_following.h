#pragma once
// The mic's following of the default input, on the system object's
// listener and the main queue, while the mic is active: device following
// and the deferred reconnect. The listener stays installed until the
// process ends.
#include <cstdint>
#include <memory>
#include <optional>

namespace helper {

class MicSource;

// Holds the source weakly.
void installDefaultInputListener(const std::shared_ptr<MicSource>& mic);

// One default-input notification, as the listener handles it on the main
// queue; `noticedAtNs` (default now) is when the change was noticed, earlier
// for one that a pause put off to the resume.
void handleDefaultInputNotification(const std::shared_ptr<MicSource>& mic,
                                    std::optional<uint64_t> noticedAtNs = std::nullopt);

}  // namespace helper
