#pragma once
// The self-test suite (--mode self-test): its groups in run order, what
// they share, and the text forms their names and reasons use. Each group
// builds its own writers, rings and states and releases them at its end.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "helper/core/segments/segment_writer.h"
#include "helper/ring/spsc_ring.h"
#include "helper/selftest/self_test_scratch.h"
#include "helper/selftest/test_report.h"

namespace helper {

struct SelfTestContext {
  TestReport& report;
  const PrivateScratchRoot& scratch;
  std::string pid;  // decimal; the suffix of every scratch directory name

  void check(const std::string& name, bool ok, const std::string& reason = "") const { report.check(name, ok, reason); }
  // Each name as a failed check with the same reason.
  void failAll(const std::vector<std::string>& names, const std::string& reason) const;
};

// The scratch directory prefix + pid of one group, made fresh (private,
// mode 0700) and removed again when the group ends. Without it the group's
// checks fail instead of writing anywhere else.
class GroupScratchDir {
 public:
  GroupScratchDir(const SelfTestContext& ctx, const std::string& prefix);
  ~GroupScratchDir();
  GroupScratchDir(const GroupScratchDir&) = delete;
  GroupScratchDir& operator=(const GroupScratchDir&) = delete;

  const std::optional<std::string>& path() const { return path_; }

 private:
  const PrivateScratchRoot& scratch_;
  std::string name_;
  std::optional<std::string> path_;
};

inline constexpr const char* kNoScratchDirectoryReason = "no private scratch directory could be made";

// A ring in ordinary memory owning its buffer, as the consumers see one.
class OwnedRing {
 public:
  explicit OwnedRing(uint64_t capacity);
  OwnedRing(const OwnedRing&) = delete;
  OwnedRing& operator=(const OwnedRing&) = delete;

  SPSCRing* get() { return &ring_; }
  const SPSCRing& ring() const { return ring_; }
  bool push(const std::vector<uint8_t>& bytes) { return spsc_ring_push(&ring_, bytes.data(), bytes.size()); }
  uint64_t readable() const { return spsc_ring_readable(&ring_); }
  // The `n` readable bytes from the read position on, across the end of
  // the storage, without consuming them.
  std::vector<uint8_t> peek(uint64_t n) const;
  // Advances the read position over every readable byte in contiguous
  // spans; returns how many there were.
  uint64_t drainAll();
  // Positions, dropped counter and flag back to 0.
  void reset() { spsc_ring_init(&ring_, storage_.data(), storage_.size()); }

 private:
  std::vector<uint8_t> storage_;
  SPSCRing ring_;
};

// A "mic" writer of the suite: `dir` as session directory, 24000 Hz mono,
// segments of `segmentSeconds`, native rate and channels set as at an open.
std::unique_ptr<SegmentWriter> makeSelfTestWriter(const std::string& dir, int64_t segmentSeconds = 999,
                                                  SegmentWriter::Clock clock = {});
// Float32, 24000 Hz, mono, deinterleaved, holding `samples`; null when the
// platform refuses it.
std::unique_ptr<platform::audio::PCMBuffer> makeSelfTestBuffer(const std::vector<float>& samples);
// The events a write of `samples` would emit (none without a buffer).
std::vector<Event> writeSelfTestSamples(SegmentWriter& writer, const std::vector<float>& samples);

// One mic ring message: generation, frame count (both 32-bit little-endian)
// and the samples.
std::vector<uint8_t> micRingMessageBytes(uint32_t generation, const std::vector<float>& samples);
std::vector<uint8_t> micRingMessageBytes(uint32_t generation, uint32_t frames, float value);
uint32_t readU32(const std::vector<uint8_t>& bytes, size_t offset);
float readF32(const std::vector<uint8_t>& bytes, size_t offset);

// Text forms. None of them drops a non-finite figure: it reads "nan",
// "inf" or "-inf".
std::string decimalText(double value);            // shortest round trip: 0.4, 48000
std::string wholeNumberText(double value);        // truncated toward zero: 44097
std::string fixedText(double value, int places);  // printf "%.<places>f"
std::string flagText(bool value);                 // "true" or "false"

// Event fixture fields, read only when they have that type.
std::optional<std::string> textField(const nlohmann::json& event, const char* key);
std::optional<int64_t> wholeField(const nlohmann::json& event, const char* key);
bool hasText(const nlohmann::json& event, const char* key, const std::string& expected);
bool hasWhole(const nlohmann::json& event, const char* key, int64_t expected);

// Building blocks (groups 1-19), in run order.
void runSourceHealthGroup(const SelfTestContext& ctx);         // 1
void runMicTapSizingGroup(const SelfTestContext& ctx);         // 2
void runMicTapScratchGroup(const SelfTestContext& ctx);        // 3
void runMicRingMessageSizeGroup(const SelfTestContext& ctx);   // 4
void runMalformedHeaderDropGroup(const SelfTestContext& ctx);  // 5
void runStagingRecoveryGroup(const SelfTestContext& ctx);      // 6
void runSaturationGroup(const SelfTestContext& ctx);           // 7
void runSegmentFileGroup(const SelfTestContext& ctx);          // 8
void runDoubleOpenGroup(const SelfTestContext& ctx);           // 9
void runCheckpointAndSealGroup(const SelfTestContext& ctx);    // 10
void runSpscRingGroup(const SelfTestContext& ctx);             // 11
void runAtomicsGroup(const SelfTestContext& ctx);              // 12
void runLateGenerationGroup(const SelfTestContext& ctx);       // 13
void runReconnectSuppressGroup(const SelfTestContext& ctx);    // 14
void runZeroRateGuardsGroup(const SelfTestContext& ctx);       // 15
void runMicRetryScheduleGroup(const SelfTestContext& ctx);     // 16
void runRequestIdGroup(const SelfTestContext& ctx);            // 17
void runCommandRoutingGroup(const SelfTestContext& ctx);       // 18
void runEventPrioritiesGroup(const SelfTestContext& ctx);      // 19

// Routing and policies (groups 20-33), in run order.
void runFenceRepliesFirstGroup(const SelfTestContext& ctx);       // 20
void runWriterEventGroups(const SelfTestContext& ctx);            // 21-23
void runProtocolErrorGroup(const SelfTestContext& ctx);           // 24
void runPauseSourcesGroup(const SelfTestContext& ctx);            // 25
void runWriteGatingGroup(const SelfTestContext& ctx);             // 26
void runFenceRepliesSecondGroup(const SelfTestContext& ctx);      // 27
void runPausedRotationAndStopGroup(const SelfTestContext& ctx);   // 28
void runUnsupportedPauseSourceGroup(const SelfTestContext& ctx);  // 29
void runCheckpointAudioTimeGroup(const SelfTestContext& ctx);     // 30
void runSystemRateScenariosGroup(const SelfTestContext& ctx);     // 31
void runCaptureMicGainGroup(const SelfTestContext& ctx);          // 32
void runConverterRateMismatchGroup(const SelfTestContext& ctx);   // 33

}  // namespace helper
