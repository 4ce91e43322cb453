// Self-test groups 14-19: the reconnect suppress window, zero-rate and
// converter guards, the mic reconnect retry schedule, request_id handling,
// command routing and event priorities.
#include <array>
#include <memory>
#include <numeric>

#include "helper/core/bus/event_bus.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/mic/mic_policy.h"
#include "helper/core/mic/mic_source.h"
#include "helper/selftest/self_test_suite.h"
#include "platform/audio/engine/converter.h"

namespace helper {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFormat;
using platform::audio::CommonFormat;

// A capture of the mic alone whose session directory cannot exist (it
// would lie under a file), so that its writer creates and writes nothing.
std::shared_ptr<CaptureState> makeQuietCaptureState(const SelfTestContext&) {
  CaptureConfig config;
  config.sessionDir = "/dev/null/self-test";
  config.sessionUUID = "self-test";
  config.includeMic = true;
  config.canonicalRate = 24000.0;
  config.micGain = kDefaultCaptureMicGain;
  return std::make_shared<CaptureState>(config);
}

// Commands the check treats as exempt from the request_id rule.
constexpr std::array<const char*, 1> kRequestIdExemptCommands = {"heartbeat"};
constexpr std::array<const char*, 4> kRequestIdCommands = {"pause", "resume", "stop", "shutdown"};

}  // namespace

void runReconnectSuppressGroup(const SelfTestContext& ctx) {
  const auto blocking = makeQuietCaptureState(ctx);
  blocking->mic()->setReconnectSuppressUntilNs(machAbsoluteTimeNs() + 1'000'000'000ULL);
  ctx.check("suppress_window_blocks_reentry", machAbsoluteTimeNs() < blocking->mic()->reconnectSuppressUntilNs());

  const auto expired = makeQuietCaptureState(ctx);
  expired->mic()->setReconnectSuppressUntilNs(machAbsoluteTimeNs() - 1);
  ctx.check("suppress_window_expires", machAbsoluteTimeNs() >= expired->mic()->reconnectSuppressUntilNs());
}

void runZeroRateGuardsGroup(const SelfTestContext& ctx) {
  const auto zeroRate = AudioFormat::make(CommonFormat::pcmFloat32, 0, 1, true);
  ctx.check("zero_rate_format_detected", !zeroRate || zeroRate->sampleRate() == 0,
            "zero-rate format should be nil or have rate=0");
  // A device may still describe itself at 0 Hz; the mic path refuses such
  // a format before it builds a converter for it.
  ctx.check("zero_rate_guard_triggers", !isUsableMicInputFormat(AudioFormat(CommonFormat::pcmFloat32, 0, 1, true)));

  const auto narrow = AudioFormat::make(CommonFormat::pcmFloat32, 8000, 1, true);
  const auto canonical = AudioFormat::make(CommonFormat::pcmFloat32, 24000, 1, true);
  if (narrow && canonical) AudioConverter::make(*narrow, *canonical);
  ctx.check("converter_nil_guard_safe", true);

  const auto degenerate = AudioFormat::make(CommonFormat::pcmFloat32, 0, 0, true);
  const bool refused = !degenerate || !canonical || AudioConverter::make(*degenerate, *canonical) == nullptr;
  const bool converterRefused =
      !canonical || AudioConverter::make(AudioFormat(CommonFormat::pcmFloat32, 0, 0, true), *canonical) == nullptr;
  ctx.check("converter_nil_for_degenerate_format", refused && converterRefused,
            "expected nil converter for 0Hz/0ch format");
}

void runMicRetryScheduleGroup(const SelfTestContext& ctx) {
  const size_t count = kMicReconnectRetryDelaysUs.size();
  ctx.check("retry_count_is_5", count == 5, "expected 5 retries, got " + std::to_string(count));
  const uint64_t totalUs =
      std::accumulate(kMicReconnectRetryDelaysUs.begin(), kMicReconnectRetryDelaysUs.end(), uint64_t{0});
  ctx.check("retry_total_under_4s", totalUs < 4'001'000,
            "total retry " + std::to_string(totalUs / 1000) + "ms exceeds 4s budget");
}

void runRequestIdGroup(const SelfTestContext& ctx) {
  for (const char* c : kRequestIdCommands) {
    const nlohmann::json command = {{"type", c}, {"source", "mic"}};  // a command, not an event
    ctx.check(std::string("missing_request_id_detected_") + c,
              commandRequiresRequestId(c) && commandRequestId(command).empty(),
              std::string(c) + " without request_id should be detected as empty");
  }
  for (const char* c : kRequestIdExemptCommands) {
    ctx.check("heartbeat_exempt_from_request_id", !commandRequiresRequestId(c));
  }
  const nlohmann::json valid = {{"type", "stop"}, {"request_id", "req-123"}};  // a command, not an event
  ctx.check("valid_request_id_passes", !commandRequestId(valid).empty(), "stop with request_id should not be empty");
  const nlohmann::json empty = {{"type", "stop"}, {"request_id", ""}};  // a command, not an event
  ctx.check("empty_request_id_rejected", commandRequestId(empty).empty(),
            "empty string request_id should be treated as missing");
}

void runCommandRoutingGroup(const SelfTestContext& ctx) {
  for (const char* c : {"heartbeat", "stop", "shutdown"}) {
    ctx.check(std::string("command_bypasses_main_queue_") + c, commandBypassesMainQueue(std::string(c)),
              std::string(c) + " should be handled on the stdin reader thread");
  }
  for (const char* c : {"pause", "resume", "unknown"}) {
    ctx.check(std::string("command_uses_main_queue_") + c, !commandBypassesMainQueue(std::string(c)),
              std::string(c) + " should stay on the existing main-queue path");
  }
  ctx.check("missing_command_uses_main_queue", !commandBypassesMainQueue(std::nullopt),
            "missing type should follow normal protocol-error path");
}

void runEventPrioritiesGroup(const SelfTestContext& ctx) {
  ctx.check("heartbeat_event_is_critical", EventBus::isCriticalEventType("heartbeat"),
            "heartbeat ACKs must not be dropped behind level events");
  ctx.check("level_event_is_droppable", !EventBus::isCriticalEventType("level"),
            "level telemetry should remain droppable under backpressure");
}

}  // namespace helper
