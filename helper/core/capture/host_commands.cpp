// Host commands, their fences, and the one stop path of capture mode.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "helper/core/bus/host_replies.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/core/segments/source_health.h"
#include "helper/core/system/system_source.h"
#include "helper/core/system/system_tap_rebuild.h"
#include "platform/dispatch/dispatch.h"

namespace helper {
namespace {

constexpr uint64_t kLateFencesWaitNs = 1'000'000'000ULL;

// Lets the main queue run what was queued before now (pauses and resumes
// read with the stop answer their fences there); bounded, and skipped on
// the main queue itself, which cannot run them while it waits.
void letQueuedCommandsAnswer() {
  const auto queue = platform::dispatch::mainQueue();
  if (queue->isCurrent()) return;
  auto done = std::make_shared<platform::dispatch::Semaphore>();
  queue->async([done] { done->signal(); });
  done->waitForNs(kLateFencesWaitNs);
}

std::optional<std::string> stringField(const nlohmann::json& message, const char* key) {
  auto it = message.find(key);
  if (it == message.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

int64_t nowTs() { return static_cast<int64_t>(machAbsoluteTimeNs()); }

// "source" of a pause or resume: "all" when missing (with a warning);
// nothing when another source is named (after the protocol error).
bool acceptSource(const nlohmann::json& message, const char* command, const char* missingCode, int64_t ts) {
  auto source = stringField(message, "source");
  if (!source) {
    emitWarning(missingCode, std::string(command) + " command missing 'source' field; defaulting to 'all'");
    source = "all";
  }
  if (*source != "all") {
    emitEvent(protocolError(command, "unsupported_source", ts, *source));
    return false;
  }
  return true;
}

}  // namespace

void CaptureState::handleCommand(const nlohmann::json& message) {
  const auto type = message.is_object() ? stringField(message, "type") : std::nullopt;
  if (!type) {
    emitEvent(protocolError(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                            "missing_type_field", nowTs()));
    return;
  }
  const std::string requestId = commandRequestId(message);
  if (commandRequiresRequestId(*type) && requestId.empty()) {
    emitEvent(protocolError(*type, "missing_request_id", nowTs()));
    return;
  }
  if (*type == "heartbeat") {
    auto id = message.find("id");
    // An id the helper cannot hold as a signed 64-bit integer is 0, never wrapped.
    const bool holdable = id != message.end() && id->is_number_integer() &&
                          !(id->is_number_unsigned() && id->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX));
    const int64_t idValue = holdable ? id->get<int64_t>() : 0;
    const int64_t ts = nowTs();
    const uint64_t now = machAbsoluteTimeNs();
    const int64_t uptimeMs = now >= sessionStartNs_ ? static_cast<int64_t>((now - sessionStartNs_) / 1'000'000) : 0;
    emitEvent(Event{{"type", "heartbeat"}, {"id", idValue}, {"ts", ts}, {"uptime_ms", uptimeMs}});
  } else if (*type == "pause") {
    handlePause(message, requestId);
  } else if (*type == "resume") {
    handleResume(message, requestId);
  } else if (*type == "stop") {
    performStop(true, std::nullopt, requestId);
  } else if (*type == "shutdown") {
    performStop(true, std::string("shutdown"), requestId);
  } else {
    emitWarning("unknown_command", "Ignoring: " + *type);
  }
}

void CaptureState::handlePause(const nlohmann::json& message, const std::string& requestId) {
  const int64_t ts = nowTs();
  if (!acceptSource(message, "pause", "missing_pause_source", ts)) return;
  // The stop seals everything itself; the host still gets its answer.
  const LifecycleHold lifecycle(*this);
  if (!lifecycle) return emitEvent(pauseFenceComplete(requestId, std::nullopt));
  const bool pauseMic = mic_ && !micRefused_.load() && !mic_->paused();
  const bool pauseSystem = system_ && !systemRefused_.load() && !system_->paused();
  // One instant for both sources, before either gate closes: each keeps
  // what was captured before it and is filled up to it.
  const uint64_t instant = machAbsoluteTimeNs();
  endSourceRuns(instant, pauseMic, pauseSystem);
  if (pauseMic) mic_->awaitCaptureThrough(instant);
  std::optional<int64_t> sealedIndex;
  if (pauseMic) sealedIndex = mic_->pause();
  if (pauseSystem) {
    if (auto seq = system_->pause()) sealedIndex = seq;
  }
  emitEvent(pauseFenceComplete(requestId, sealedIndex));
}

void CaptureState::handleResume(const nlohmann::json& message, const std::string& requestId) {
  const int64_t ts = nowTs();
  if (!acceptSource(message, "resume", "missing_resume_source", ts)) return;
  // A segment opened now would never be sealed: answered, nothing opened.
  const LifecycleHold lifecycle(*this);
  if (!lifecycle) return emitEvent(resumeFenceComplete(requestId));
  const bool resumeMic = mic_ && !micRefused_.load() && mic_->paused();
  const bool resumeSystem = system_ && !systemRefused_.load() && system_->paused();
  // One instant for both sources: what they captured before it stays out.
  beginSourceRuns(machAbsoluteTimeNs(), resumeMic, resumeSystem);
  if (resumeMic) mic_->resume();
  if (resumeSystem) system_->resume();
  emitEvent(resumeFenceComplete(requestId));
  // The output may have moved while the system writer was paused, and the
  // input while the mic writer was.
  if (system_) recheckSystemTapRebuildAfterResume(*system_);
  if (mic_) mic_->followChangesPutOffWhilePaused();
}

void CaptureState::performStop(bool clean, const std::optional<std::string>& reason,
                               const std::optional<std::string>& requestId) {
  claimStopOrWaitForTheFirst();

  gStopStep.store(1);
  gIsRunning.store(false);
  // Both sources end at the same instant, whatever the teardown below takes.
  const uint64_t instant = machAbsoluteTimeNs();
  endSourceRuns(instant, true, true);
  if (mic_) mic_->cancelPendingChanges();
  // Both stay locked until the process ends: no graph rebuild, pause,
  // resume or mic rebuild can start or finish from here on.
  if (system_) system_->holdGraphLockForGood();
  lifecycleLock_.lock();
  cancelSourceRecoveries(reason.value_or("stop"));
  if (mic_) mic_->awaitCaptureThrough(instant);
  if (mic_) mic_->closeTap();
  if (system_) system_->closeTap();

  gStopStep.store(2);
  if (mic_) mic_->removeTap();

  gStopStep.store(3);
  if (mic_) mic_->stopEngine();

  gStopStep.store(4);
  if (mic_) mic_->closeRingAndAwaitConsumer();

  gStopStep.store(5);
  if (system_) system_->tearDownGraphAndAwaitConsumer();

  gStopStep.store(6);
  const int64_t micSeq = mic_ ? mic_->sealForStop() : 0;
  const int64_t sysSeq = system_ ? system_->sealForStop() : 0;

  gStopStep.store(7);
  letQueuedCommandsAnswer();
  if (requestId) emitEvent(stopFenceComplete(*requestId));
  emitSessionEnd(clean, reason, micSeq, sysSeq, instant);

  gStopStep.store(8);
  gEventBus.flushAndStop();
  gStopStep.store(9);
  std::_Exit(0);
}

void CaptureState::claimStopOrWaitForTheFirst() {
  bool lost = false;
  {
    std::lock_guard lock(stopClaimLock_);
    lost = stopClaimed_;
    stopClaimed_ = true;
  }
  if (!lost) return;
  // The first caller ends the process.
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}

void CaptureState::emitSessionEnd(bool clean, const std::optional<std::string>& reason, int64_t micSeq, int64_t sysSeq,
                                  uint64_t endNs) {
  Event segments = Event::object();
  if (config_.includeMic) segments["mic"] = micSeq;
  if (config_.includeSystem) segments["system"] = sysSeq;
  const SourceHealth micHealth = mic_ ? mic_->health() : SourceHealth{0, 0, 1.0, false};
  const SourceHealth sysHealth = system_ ? system_->health() : SourceHealth{0, 0, 1.0, false};
  const uint64_t now = machAbsoluteTimeNs();
  // From the same origin as the audio, up to where the runs ended: the
  // length the sources recorded, pauses included. Off the session clock,
  // from the start.
  const std::optional<uint64_t> origin = onSessionClock_.load() ? sessionOrigin_->settled() : std::nullopt;
  const uint64_t fromNs = origin.value_or(sessionStartNs_);
  const uint64_t toNs = origin ? endNs : now;
  emitEvent(Event{{"type", "session_end"},
                  {"clean", clean},
                  {"reason", reason ? nlohmann::json(*reason) : nlohmann::json(nullptr)},
                  {"segments", segments},
                  // Nanoseconds, whatever the name says: hosts read it that way.
                  {"duration_ms", static_cast<int64_t>(toNs >= fromNs ? toNs - fromNs : 0)},
                  {"ts", static_cast<int64_t>(now)},
                  {"mic_health_peak", floatForJson(micHealth.peak)},
                  {"mic_health_rms", floatForJson(micHealth.rms)},
                  {"mic_health_silence_ratio", micHealth.silenceRatio},
                  {"mic_health_source_failed", micHealth.sourceFailed},
                  {"system_health_peak", floatForJson(sysHealth.peak)},
                  {"system_health_rms", floatForJson(sysHealth.rms)},
                  {"system_health_silence_ratio", sysHealth.silenceRatio},
                  {"system_health_source_failed", sysHealth.sourceFailed}});
}

}  // namespace helper
