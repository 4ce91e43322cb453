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
  // arrive. Its duration is that span; the drift check compares the frames
  // with the real time they took to be written, from openedNs (where the
  // run's frames before them ended) to lastFrameNs. Unset: the segment
  // lasts from startNs to its close.
  std::optional<uint64_t> clockEndNs;
  uint64_t openedNs = 0;
  uint64_t lastFrameNs = 0;
  int64_t silenceInjectedMs = 0;
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
  // RMS weighted by samples; a source with no closed segment counts as
  // fully silent (ratio 1.0). Every figure is finite.
  SourceHealth snapshot(bool sourceFailed) const;
};

// "segment_closed", then "seg_duration_mismatch" (more than 500 ms between
// frame time and wall time), then "silent_capture" (frames but digital zero).
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
