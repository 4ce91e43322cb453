#pragma once
// What the host learns when a segment ends ("segment_closed", the record
// it keeps in the manifest, with its follow-up warnings) and the
// per-source health figures reported at the end of a session.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/bus/event_bus.h"

namespace helper {

// A closed segment, captured at the moment it was sealed.
struct SealedSegData {
  std::string segmentPath;  // absolute path of the segment file
  std::string source;       // "mic" or "system"
  int64_t seq = 0;
  int64_t frames = 0;
  float peak = 0;
  float rms = 0;
  uint64_t startNs = 0;
  int64_t rate = 0;
  int64_t channels = 0;
  // The source's own format when the segment opened and when it closed.
  int64_t nativeRateAtOpen = 0;
  int64_t nativeRateAtClose = 0;
  int64_t nativeChannelsAtOpen = 0;
  int64_t nativeChannelsAtClose = 0;
  // A segment on the session clock (capture mode) covers startNs to
  // clockEndNs: its frames fill that span, with silence for what did not
  // arrive. Its duration is that span. Unset: the segment lasts from
  // startNs to its close.
  std::optional<uint64_t> clockEndNs;
  int64_t silenceInjectedMs = 0;
  int64_t overlapDroppedMs = 0;
  // On the session clock: frames the device delivered (not silence the
  // writer placed), and, for the rate check, the frames of consecutive
  // buffers against the capture time between them, outages apart.
  int64_t audioFrames = 0;
  int64_t deliveredFrames = 0;
  uint64_t deliveryNs = 0;
};

struct SourceHealth {
  float peak = 0;
  float rms = 0;
  double silenceRatio = 1.0;
  bool sourceFailed = false;
};

// Health over every closed segment of one source; never reset.
struct SourceHealthAccumulator {
  float peak = 0;
  double sumSquares = 0;
  int64_t samples = 0;
  int64_t silentSegments = 0;
  int64_t totalSegments = 0;

  void foldSegment(float segmentPeak, double segmentSumSquares, int64_t segmentSamples);
  // A segment without samples (only silence the writer placed) says
  // nothing of the source and is not counted.
  // RMS weighted by samples; a source with no closed segment counts as
  // fully silent (ratio 1.0). Every figure is finite.
  SourceHealth snapshot(bool sourceFailed) const;
};

// "segment_closed", then "seg_duration_mismatch" (more than 500 ms between
// the audio delivered and the time it took), then "silent_capture"
// (delivered frames, all digital zero), then "seg_overlap_dropped" (audio
// captured behind what was already placed was left out).
std::vector<Event> buildSegClosedEvents(const SealedSegData& data);
// The same with the monotonic time of the close given.
std::vector<Event> buildSegClosedEventsAt(const SealedSegData& data, uint64_t nowNs);
// Builds them and enqueues each on the event bus in order.
void emitSegFromData(const SealedSegData& data);

// "mic/000003.caf" or "system/000003.caf".
std::string segmentRelativePath(const std::string& source, int64_t seq);

// A single-precision figure as the JSON number of its shortest decimal
// form (0.1f is 0.1, not 0.10000000149011612); 0 when not finite, which
// JSON cannot carry.
double floatForJson(float value);
// The shortest decimal text that reads back as `value`, always with a
// fraction or exponent ("0.4", "1.0", "1e-05").
std::string formatFloatShortest(float value);

}  // namespace helper
