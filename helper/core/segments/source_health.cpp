#include "helper/core/segments/source_health.h"

#include <charconv>
#include <cmath>

#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/segments/caf_segment.h"

namespace helper {
namespace {

float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

void SourceHealthAccumulator::foldSegment(float segmentPeak, double segmentSumSquares, int64_t segmentSamples) {
  if (segmentSamples <= 0) return;
  if (segmentPeak > peak) peak = segmentPeak;
  sumSquares += segmentSumSquares;
  samples += segmentSamples;
  totalSegments += 1;
  if (segmentPeak == 0.0f) silentSegments += 1;
}

SourceHealth SourceHealthAccumulator::snapshot(bool sourceFailed) const {
  SourceHealth h;
  h.peak = finiteOrZero(peak);
  h.rms = samples > 0 ? finiteOrZero(static_cast<float>(std::sqrt(sumSquares / static_cast<double>(samples)))) : 0.0f;
  h.silenceRatio = totalSegments > 0 ? static_cast<double>(silentSegments) / static_cast<double>(totalSegments) : 1.0;
  h.sourceFailed = sourceFailed;
  return h;
}

std::string segmentRelativePath(const std::string& source, int64_t seq) {
  return segmentSourceSubdir(source) + "/" + segmentFileName(seq);
}

std::vector<Event> buildSegClosedEvents(const SealedSegData& data) {
  return buildSegClosedEventsAt(data, machAbsoluteTimeNs());
}

std::vector<Event> buildSegClosedEventsAt(const SealedSegData& d, uint64_t nowNs) {
  const uint64_t endNs = d.clockEndNs.value_or(nowNs);
  int64_t wall = endNs >= d.startNs ? static_cast<int64_t>((endNs - d.startNs) / 1'000'000) : 0;
  // A segment with frames never reads as lasting no time (which a reader
  // takes for a length not known).
  if (wall == 0 && d.frames > 0) wall = 1;
  // What is checked: the frames against the span itself, or for a segment
  // on the session clock (whose frames fill its span by design) the audio
  // the device delivered against the capture time it took, so that a
  // device at the wrong rate shows and silence the writer placed never does.
  const int64_t checkedFrames = d.clockEndNs ? d.deliveredFrames : d.frames;
  const int64_t checkedWall = d.clockEndNs         ? static_cast<int64_t>(d.deliveryNs / 1'000'000)
                              : nowNs >= d.startNs ? static_cast<int64_t>((nowNs - d.startNs) / 1'000'000)
                                                   : 0;
  const int64_t audioFrames = d.clockEndNs ? d.audioFrames : d.frames;
  const float peak = finiteOrZero(d.peak);
  const float rms = finiteOrZero(d.rms);
  std::vector<Event> out;
  Event e;
  e["type"] = "segment_closed";
  e["source"] = d.source;
  e["index"] = d.seq;
  e["seq"] = d.seq;
  e["path"] = segmentRelativePath(d.source, d.seq);
  e["bytes"] = segmentFileBytes(d.frames);
  e["frames"] = d.frames;
  e["canonical_frames"] = d.frames;
  e["duration_ms"] = wall;
  e["wall_clock_ms"] = wall;
  e["canonical_rate"] = d.rate;
  e["canonical_channels"] = d.channels;
  e["native_rate_start"] = d.nativeRateAtOpen;
  e["native_rate_end"] = d.nativeRateAtClose;
  e["native_channels_start"] = d.nativeChannelsAtOpen;
  e["native_channels_end"] = d.nativeChannelsAtClose;
  e["host_time_start_ns"] = d.startNs;
  e["host_time_end_ns"] = endNs;
  e["peak"] = floatForJson(peak);
  e["rms"] = floatForJson(rms);
  e["silence_injected_ms"] = d.silenceInjectedMs;
  e["format"] = "caf_pcm_s16le";
  out.push_back(std::move(e));

  const std::string prefix = d.source + " seq " + std::to_string(d.seq);
  if (d.rate >= 1) {
    const double audio = static_cast<double>(checkedFrames) / static_cast<double>(d.rate) * 1000.0;
    const double drift = audio - static_cast<double>(checkedWall);
    if (std::fabs(drift) > 500.0) {
      out.push_back(Event{{"type", "warning"},
                          {"code", "seg_duration_mismatch"},
                          {"ctx", prefix + ": frames=" + std::to_string(checkedFrames) + "@" + std::to_string(d.rate) +
                                      "Hz=" + std::to_string(static_cast<int64_t>(audio)) +
                                      "ms vs wall=" + std::to_string(checkedWall) +
                                      "ms drift=" + std::to_string(static_cast<int64_t>(std::fabs(drift))) + "ms"}});
    }
  }
  if (audioFrames >= 1 && peak == 0.0f && rms == 0.0f) {
    out.push_back(Event{{"type", "warning"},
                        {"code", "silent_capture"},
                        {"ctx", prefix + ": peak=0 rms=0 frames=" + std::to_string(d.frames) +
                                    " wall=" + std::to_string(wall) + "ms"}});
  }
  if (d.overlapDroppedMs > 0) {
    // Audio a device delivered faster than time allowed: what lay behind
    // what was already on the clock is left out, and said here.
    out.push_back(Event{{"type", "warning"},
                        {"code", "seg_overlap_dropped"},
                        {"ctx", prefix + ": left out " + std::to_string(d.overlapDroppedMs) +
                                    "ms captured behind what the segment already held"}});
  }
  return out;
}

void emitSegFromData(const SealedSegData& data) { emitAll(buildSegClosedEvents(data)); }

double floatForJson(float value) {
  if (!std::isfinite(value)) return 0.0;
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  double out = 0.0;
  std::from_chars(buf, res.ptr, out);  // locale-independent, like to_chars
  return out;
}

std::string formatFloatShortest(float value) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  std::string s(buf, res.ptr);
  if (std::isfinite(value) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace helper
