#include "helper/core/bus/host_replies.h"

namespace helper {

Event pauseFenceComplete(const std::string& requestId, std::optional<int64_t> segmentIndex) {
  Event fence{{"type", "pause_fence_complete"}, {"request_id", requestId}};
  if (segmentIndex) fence["segment_index"] = *segmentIndex;
  return fence;
}

Event resumeFenceComplete(const std::string& requestId) {
  return Event{{"type", "resume_fence_complete"}, {"request_id", requestId}};
}

Event stopFenceComplete(const std::string& requestId) {
  return Event{{"type", "stop_fence_complete"}, {"request_id", requestId}};
}

Event protocolError(const std::string& command, const std::string& reason, int64_t ts,
                    const std::optional<std::string>& source) {
  Event error{{"type", "protocol_error"}, {"command", command}, {"reason", reason}};
  if (source) error["source"] = *source;
  error["ts"] = ts;
  return error;
}

}  // namespace helper
