// Self-test groups 20-30: host-protocol reply shapes, the writer's start
// event and its one-shot flag, pause sources, write gating, rotation and
// stop while paused, and the checkpoint audio time.
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "helper/core/bus/host_replies.h"
#include "helper/core/capture/capture_state.h"
#include "helper/core/mic/mic_source.h"
#include "helper/core/segments/caf_segment.h"
#include "helper/selftest/segment_writer_test_access.h"
#include "helper/selftest/self_test_suite.h"

namespace helper {
namespace {

namespace fs = std::filesystem;

int64_t fileSizeOrMinusOne(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

size_t countOfType(const std::vector<Event>& events, const std::string& type) {
  size_t n = 0;
  for (const auto& e : events) n += hasText(e, "type", type) ? 1 : 0;
  return n;
}

// The first event of `type`, or an empty object whose checks then fail.
const Event& firstOfType(const std::vector<Event>& events, const std::string& type) {
  static const Event kNone = Event::object();
  for (const auto& e : events) {
    if (hasText(e, "type", type)) return e;
  }
  return kNone;
}

bool endsWith(const std::optional<std::string>& text, const std::string& suffix) {
  return text && text->size() >= suffix.size() &&
         text->compare(text->size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What one writer emitted: at its open and at its first two writes.
struct WriterEvents {
  std::vector<Event> open;
  std::vector<Event> firstWrite;
  std::vector<Event> secondWrite;
};

WriterEvents recordWriterEvents(const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  WriterEvents events;
  events.open = SegmentWriterTestAccess::open(*writer);
  events.firstWrite = writeSelfTestSamples(*writer, {0.25f, 0.25f});
  events.secondWrite = writeSelfTestSamples(*writer, {0.25f, 0.25f});
  writer->sealFinal();
  return events;
}

void checkWriterEvents(const SelfTestContext& ctx, const WriterEvents& events) {
  const Event& started = firstOfType(events.firstWrite, "capture_started");
  ctx.check("capture_started_has_source", hasText(started, "source", "mic"));
  ctx.check("capture_started_has_sample_rate", hasWhole(started, "sample_rate", 24000));
  ctx.check("capture_started_has_channels", hasWhole(started, "channels", 1));

  const Event& opened = firstOfType(events.open, "segment_opened");
  ctx.check("segment_opened_has_sample_rate", hasWhole(opened, "sample_rate", 24000));
  ctx.check("segment_opened_has_channels", hasWhole(opened, "channels", 1));
  ctx.check("segment_opened_has_path", endsWith(textField(opened, "path"), ".caf"));

  ctx.check("capture_started_initially_false", countOfType(events.open, "capture_started") == 0);
  ctx.check("capture_started_after_first_write", countOfType(events.firstWrite, "capture_started") == 1);
  ctx.check("capture_started_no_double_emit", countOfType(events.secondWrite, "capture_started") == 0);
}

// A capture of the mic alone in `dir`, its writer never started.
std::shared_ptr<CaptureState> makeMicCaptureState(const std::string& dir) {
  CaptureConfig config;
  config.sessionDir = dir;
  config.sessionUUID = "self-test";
  config.includeMic = true;
  config.canonicalRate = 24000.0;
  return std::make_shared<CaptureState>(config);
}

// Whether the command handler paused the capture's mic writer.
bool pauseTakesEffect(const std::string& dir, const nlohmann::json& command) {
  const auto state = makeMicCaptureState(dir);
  state->handleCommand(command);
  return state->mic()->writer()->paused();
}

nlohmann::json pauseCommand(const std::optional<std::string>& source) {
  nlohmann::json command = {{"type", "pause"}, {"request_id", "self-test-pause"}};  // a command, not an event
  if (source) command["source"] = *source;
  return command;
}

void checkPauseSources(const SelfTestContext& ctx, const std::string& dir) {
  ctx.check("pause_source_all_accepted", pauseTakesEffect(dir, pauseCommand("all")));
  ctx.check("pause_missing_source_defaults_all", pauseTakesEffect(dir, pauseCommand(std::nullopt)));
  ctx.check("pause_source_mic_rejected", !pauseTakesEffect(dir, pauseCommand("mic")));
  ctx.check("pause_source_system_rejected", !pauseTakesEffect(dir, pauseCommand("system")));
}

void checkWriteGating(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  const std::string first = dir + "/mic/000001.caf";
  const std::vector<float> samples(4, 0.25f);
  writeSelfTestSamples(*writer, samples);
  const int64_t afterWrite = fileSizeOrMinusOne(first);
  ctx.check("write_proceeds_when_not_paused", afterWrite == segmentFileBytes(4));

  writer->setPaused(true);
  writeSelfTestSamples(*writer, samples);
  ctx.check("write_blocked_when_paused", fileSizeOrMinusOne(first) == afterWrite);

  writer->setPaused(false);
  writer->sealFinal();
  writeSelfTestSamples(*writer, samples);
  ctx.check("write_blocked_when_sealed",
            fileSizeOrMinusOne(first) == afterWrite && !fs::exists(dir + "/mic/000002.caf"));
}

void checkPausedRotation(const SelfTestContext& ctx, const std::string& dir) {
  auto now = std::make_shared<std::atomic<uint64_t>>(1'000'000'000ULL);
  auto writer = makeSelfTestWriter(dir, 30, [now] { return now->load(); });
  SegmentWriterTestAccess::open(*writer);
  now->fetch_add(61'000'000'000ULL);  // past the 30 s segment and its 30 s backstop
  ctx.check("should_rotate_when_not_paused", writer->shouldRotate());
  writer->setPaused(true);
  ctx.check("should_not_rotate_when_paused", !writer->shouldRotate());
  writer->setPaused(false);
  writer->sealFinal();
}

// A stop after a pause: the pause has sealed the segment through the
// command handler, so the stop has nothing left to seal and reports the
// index the writer ended on.
void checkStopWhilePaused(const SelfTestContext& ctx, const std::string& dir) {
  const auto state = makeMicCaptureState(dir);
  SegmentWriter& writer = *state->mic()->writer();
  SegmentWriterTestAccess::open(writer);
  writeSelfTestSamples(writer, std::vector<float>(4, 0.25f));
  state->handleCommand(pauseCommand("all"));
  const bool paused = writer.paused();
  const bool sealedByPause = fileSizeOrMinusOne(dir + "/mic/000001.caf") == segmentFileBytes(4);
  ctx.check("stop_while_paused_skips_seal", paused && sealedByPause && !writer.sealFinal());
  ctx.check("stop_while_paused_reports_seq", writer.seq() == 1);
}

}  // namespace

void runFenceRepliesFirstGroup(const SelfTestContext& ctx) {
  const Event pause = pauseFenceComplete("req-pause-42", 7);
  ctx.check("pause_fence_has_request_id", hasText(pause, "request_id", "req-pause-42"));
  ctx.check("pause_fence_has_type", hasText(pause, "type", "pause_fence_complete"));
  ctx.check("pause_fence_segment_index", hasWhole(pause, "segment_index", 7));
  const Event resume = resumeFenceComplete("req-resume-1");
  ctx.check("resume_fence_has_request_id", hasText(resume, "request_id", "req-resume-1"));
  const Event stop = stopFenceComplete("req-stop-99");
  ctx.check("stop_fence_has_request_id", hasText(stop, "request_id", "req-stop-99"));
}

void runWriterEventGroups(const SelfTestContext& ctx) {
  const GroupScratchDir dir(ctx, "self-test-events-");
  if (!dir.path()) {
    ctx.failAll(
        {"capture_started_has_source", "capture_started_has_sample_rate", "capture_started_has_channels",
         "segment_opened_has_sample_rate", "segment_opened_has_channels", "segment_opened_has_path",
         "capture_started_initially_false", "capture_started_after_first_write", "capture_started_no_double_emit"},
        kNoScratchDirectoryReason);
    return;
  }
  checkWriterEvents(ctx, recordWriterEvents(*dir.path()));
}

void runProtocolErrorGroup(const SelfTestContext& ctx) {
  const Event error = protocolError("stop", "missing_request_id", 0);
  ctx.check("protocol_error_has_command", hasText(error, "command", "stop"));
  ctx.check("protocol_error_has_reason", hasText(error, "reason", "missing_request_id"));
  ctx.check("protocol_error_type_correct", hasText(error, "type", "protocol_error"));
}

void runPauseSourcesGroup(const SelfTestContext& ctx) {
  const GroupScratchDir dir(ctx, "self-test-pause-");
  if (!dir.path()) {
    ctx.failAll({"pause_source_all_accepted", "pause_missing_source_defaults_all", "pause_source_mic_rejected",
                 "pause_source_system_rejected"},
                kNoScratchDirectoryReason);
    return;
  }
  checkPauseSources(ctx, *dir.path());
}

void runWriteGatingGroup(const SelfTestContext& ctx) {
  const GroupScratchDir dir(ctx, "self-test-gate-");
  if (!dir.path()) {
    ctx.failAll({"write_proceeds_when_not_paused", "write_blocked_when_paused", "write_blocked_when_sealed"},
                kNoScratchDirectoryReason);
    return;
  }
  checkWriteGating(ctx, *dir.path());
}

void runFenceRepliesSecondGroup(const SelfTestContext& ctx) {
  const Event pause = pauseFenceComplete("pause-0", 5);
  ctx.check("pause_fence_has_type", hasText(pause, "type", "pause_fence_complete"));
  ctx.check("pause_fence_has_request_id", hasText(pause, "request_id", "pause-0"));
  ctx.check("pause_fence_has_segment_index", hasWhole(pause, "segment_index", 5));
  const Event resume = resumeFenceComplete("resume-1");
  ctx.check("resume_fence_has_type", hasText(resume, "type", "resume_fence_complete"));
  ctx.check("resume_fence_has_request_id", hasText(resume, "request_id", "resume-1"));
}

void runPausedRotationAndStopGroup(const SelfTestContext& ctx) {
  {
    const GroupScratchDir dir(ctx, "self-test-rotate-");
    if (dir.path()) {
      checkPausedRotation(ctx, *dir.path());
    } else {
      ctx.failAll({"should_rotate_when_not_paused", "should_not_rotate_when_paused"}, kNoScratchDirectoryReason);
    }
  }
  const GroupScratchDir dir(ctx, "self-test-stop-");
  if (dir.path()) {
    checkStopWhilePaused(ctx, *dir.path());
  } else {
    ctx.failAll({"stop_while_paused_skips_seal", "stop_while_paused_reports_seq"}, kNoScratchDirectoryReason);
  }
}

void runUnsupportedPauseSourceGroup(const SelfTestContext& ctx) {
  const Event error = protocolError("pause", "unsupported_source", 0, std::string("mic"));
  ctx.check("unsupported_source_error_has_command", hasText(error, "command", "pause"));
  ctx.check("unsupported_source_error_has_reason", hasText(error, "reason", "unsupported_source"));
  ctx.check("unsupported_source_error_has_source", hasText(error, "source", "mic"));
}

void runCheckpointAudioTimeGroup(const SelfTestContext& ctx) {
  // 12345 frames at 24000 Hz are 514.375 ms; a fractional rate counts as its whole number.
  ctx.check("checkpoint_audio_time_from_frames",
            checkpointAudioTimeMs(12345, 24000.0) == 514 && checkpointAudioTimeMs(12345, 24000.75) == 514);
  ctx.check("checkpoint_audio_time_full_segment", checkpointAudioTimeMs(720000, 24000.0) == 30000);
}

}  // namespace helper
