#include "helper/core/mic/mic_generation_formats.h"

#include "helper/core/bus/event_bus.h"

namespace helper {

void MicGenerationFormats::record(uint32_t generation, int64_t sampleRate, int64_t channels, const std::string& uid,
                                  const std::string& routeKind, const std::string& reason) {
  {
    std::lock_guard lock(lock_);
    formats_[generation] = MicGenerationFormat{generation, sampleRate, channels, uid, routeKind};
    // The map is ordered: the smallest generations go first.
    while (formats_.size() > kMax) formats_.erase(formats_.begin());
  }
  emitRouteTrace("mic_generation_format_recorded", Source::mic,
                 {{"generation", generation},
                  {"rate", sampleRate},
                  {"channels", channels},
                  {"uid", uid},
                  {"route", routeKind},
                  {"reason", reason}});
}

std::optional<MicGenerationFormat> MicGenerationFormats::find(uint32_t generation) const {
  std::lock_guard lock(lock_);
  auto it = formats_.find(generation);
  if (it == formats_.end()) return std::nullopt;
  return it->second;
}

void MicGenerationFormats::clear() {
  std::lock_guard lock(lock_);
  formats_.clear();
}

}  // namespace helper
