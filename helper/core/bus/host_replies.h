#pragma once
// The helper's replies to host commands, built in one place for capture
// mode, synthetic capture and the self-test that checks their shapes.
#include <cstdint>
#include <optional>
#include <string>

#include "helper/core/bus/event_bus.h"

namespace helper {

// "segment_index" only when the pause sealed a segment.
Event pauseFenceComplete(const std::string& requestId, std::optional<int64_t> segmentIndex = std::nullopt);
Event resumeFenceComplete(const std::string& requestId);
Event stopFenceComplete(const std::string& requestId);
// "source" only for a command that named a source it may not.
Event protocolError(const std::string& command, const std::string& reason, int64_t ts,
                    const std::optional<std::string>& source = std::nullopt);

}  // namespace helper
