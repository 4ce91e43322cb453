#pragma once
// Process-wide tuning constants (k) and shared state (g) of the capture
// helper. Constants never change; shared state is atomic, so any thread
// may touch it. The mic path's shared state is MicPipeline's,
// the system path's SystemPipeline's.
#include <array>
#include <atomic>
#include <cstdint>

namespace helper {

// Entry, protocol and diagnostics.
inline constexpr int kProtocolVersion = 2;
inline constexpr const char* kHelperBuildID = "recorder-v3-safety-refresh-gated-2026-05-05";
// Container of the concat and mix outputs: the QuickTime movie format.
inline constexpr const char* kAudioWriterFileType = "mov";
inline constexpr int32_t kBacktraceFrameCap = 128;

extern std::atomic<bool> gIsRunning;
extern std::atomic<uint32_t> gStopStep;
extern std::atomic<void**> gBacktraceFrames;
extern std::atomic<bool> gDebugIOProc;

// Microphone path.
inline constexpr float kDefaultCaptureMicGain = 4.0f;
inline constexpr float kBluetoothHfpCaptureMicGain = 1.0f;
inline constexpr int kEffectiveMicCaptureChannels = 1;
inline constexpr uint64_t kBluetoothHfpMicReconnectDeferNs = 1'500'000'000ULL;
inline constexpr uint64_t kDefaultMicReconnectDeferNs = 750'000'000ULL;
inline constexpr uint64_t kMicReconnectMinIntervalNs = 8'000'000'000ULL;
inline constexpr uint64_t kMicFreshEngineRebuildStormWindowNs = 30'000'000'000ULL;
inline constexpr uint64_t kMicRingCapacity = 0x100000;
inline constexpr int kMicRingHeaderSize = 8;
inline constexpr int kMicRingMaxPayloadBytes = static_cast<int>(kMicRingCapacity) - kMicRingHeaderSize;
inline constexpr int kMicRingMaxFrames = kMicRingMaxPayloadBytes / 4;
inline constexpr double kMicTapBufferSeconds = 0.1;
inline constexpr double kMicTapScratchSeconds = 0.4;
// Pauses after each failed fresh-engine attempt of a mic reconnect, in
// microseconds: five attempts, 3.75 s in all, within a 4 s budget.
inline constexpr std::array<uint32_t, 5> kMicReconnectRetryDelaysUs = {250'000, 500'000, 1'000'000, 1'000'000,
                                                                       1'000'000};

// System audio and device listeners.
inline constexpr uint64_t kRingCapacity = 0x100000;
inline constexpr uint64_t kSystemCadenceRecoveryWindowMs = 2000;

}  // namespace helper
