#pragma once
// The roads of a mic device change once the reconnect slot is held: the
// restart in place of a stopped engine on the same input, and the full
// reconnect (teardown, drain, device update and follow-back, route-storm
// restart, seal, fresh engines, the new segment and recovery). Main queue
// only; reached through handleMicDeviceChange.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "helper/core/mic/mic_pipeline.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/source/lifecycle_lock.h"
#include "helper/routing/source_recovery_verifier.h"
#include "helper/thread_annotations.h"
#include "platform/audio/engine/pcm.h"

namespace platform::audio {
class AudioEngine;
}

namespace helper {

class MicSource;
class MicPipeline;
class SegmentWriter;

// After an engine starts, the configuration notifications it causes itself
// are ignored for this long.
inline constexpr uint64_t kMicPostStartSuppressNs = 500'000'000ULL;

// One call of handleMicDeviceChange, as its roads need it.
struct MicChangeRequest {
  std::shared_ptr<MicSource> mic;
  std::shared_ptr<platform::audio::AudioEngine> engine;
  bool forceFreshEngineRebuild = false;
  std::optional<std::string> forcedReconnectReason;
  MicPipeline* pipeline = nullptr;
  std::shared_ptr<SegmentWriter> writer;
};

// What the call saw of the default input and the engine's input.
struct MicObservation {
  std::optional<uint32_t> device;
  std::string uid;
  std::string route = "unknown";
  platform::audio::AudioFormat format;
  std::optional<EffectiveMicCaptureFormat> effective;
  int64_t stateRate = 0;
  int64_t stateChannels = 0;
};

// A restart in place records only with the tap installed and a segment open.
bool canRestartMicInPlace(const MicChangeRequest& request);

// The engine stopped on the same input: restart it, keeping the tap and the
// segment. False when the start failed and the full reconnect must follow.
bool restartMicEngineInPlace(const MicChangeRequest& request, const MicObservation& observed);

void runFullMicReconnect(const MicChangeRequest& request, MicObservation observed);

// ---- Steps shared by the roads ----

// What a full reconnect remembers of the mic it leaves, and what it chose.
struct MicReconnectPlan {
  std::string reason;
  std::string oldUID;
  std::string oldName;
  std::string oldRoute;
  int64_t oldRate = 0;
  int64_t oldChannels = 0;
  float gain = 0;
  // The device a follow-back revert bound the mic to; every fresh engine
  // is bound to it too.
  std::optional<uint32_t> revertTarget;
};

// The sizes of a tap installation at a native rate.
struct MicTapSizing {
  int64_t bufferFrames = 1;
  int64_t renderQuantum = 1;
  int64_t scratchFrames = 1;
};
MicTapSizing micTapSizing(double nativeRate, int64_t maximumFramesToRender);
// A rebuilt engine's tap settings at those sizes (it describes no first
// buffer); nothing when the buffer size is beyond what a tap can ask for.
std::optional<MicPipeline::TapSettings> rebuiltMicTapSettings(double nativeRate, int64_t maximumFramesToRender,
                                                              float gain);
// The pipeline's tap block installed on bus 0 of the input, in `format`
// (the input's own when none); false when the engine refuses it.
bool installMicTap(platform::audio::InputNode& input, MicPipeline& pipeline, const MicPipeline::TapSettings& tap,
                   std::optional<platform::audio::AudioFormat> format = std::nullopt);

// Records the format of `generation` and then makes it the current one.
void advanceMicGeneration(const MicChangeRequest& request, uint32_t generation, const EffectiveMicCaptureFormat& format,
                          const std::string& reason);

// With the writer recording: begins the recovery for `target`. Paused: the
// recovery is owed to the resume, which begins it and marks its graph
// started.
void beginMicRecovery(const MicChangeRequest& request, const SourceRecoveryTarget& target)
    VR_REQUIRES(sessionLifecycleLock);
// With the writer recording: marks the graph of the recovery begun for
// `target` started and opens the tap gate. Paused: the gate stays closed
// until the resume. Under the same lifecycle lock as beginMicRecovery.
void startMicCapture(const MicChangeRequest& request, const SourceRecoveryTarget& target)
    VR_REQUIRES(sessionLifecycleLock);
// Both, one after the other.
void resumeMicCapture(const MicChangeRequest& request, const SourceRecoveryTarget& target)
    VR_REQUIRES(sessionLifecycleLock);

// "tap_format_change" from the format the source describes to `format`.
void emitMicTapFormatChange(MicSource& mic, const platform::audio::AudioFormat& format);

// The source takes the device's identity; unreadable fields keep the fallbacks.
void adoptMicDevice(MicSource& mic, uint32_t device, const std::string& uidFallback, const std::string& nameFallback);

// "route_variance" (same device) or "device_change" (another one, followed
// by the debounced "device_changed"), comparing the old mic with the
// state's. An engine restarted in place during a route storm gives only
// the "device_change" of another device.
void emitMicRouteEvent(const MicChangeRequest& request, const MicReconnectPlan& plan, const MicObservation& observed,
                       bool restartedInRouteStorm);

// Sleeps on the main thread in short slices; false as soon as a stop is
// claimed.
bool sleepUnlessStopping(const MicSource& mic, uint64_t ns);

// Seals the segment and builds fresh engines, up to five attempts.
void sealAndRebuildMicEngine(const MicChangeRequest& request, const MicReconnectPlan& plan,
                             const MicObservation& observed);

}  // namespace helper
