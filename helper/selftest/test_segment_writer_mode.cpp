// Writes durationSec of silence through one segment writer, as fast as it
// takes it, seals the segment and reports it in "test_segment_written".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/clock.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/selftest/selftest_modes.h"

namespace helper {

void runTestSegmentWriter(const TestSegmentWriterConfig& config) {
  using platform::audio::AudioFormat;
  using platform::audio::CommonFormat;
  using platform::audio::PCMBuffer;
  constexpr int64_t kMaxBufferFrames = 1024;

  std::error_code ec;
  std::filesystem::create_directories(config.outputDir, ec);  // a failure shows as the writer's own

  const uint64_t startNs = machAbsoluteTimeNs();
  SegmentWriter writer(config.source, config.outputDir, config.canonicalRate, config.canonicalChannels,
                       config.durationSec + 60, startNs);
  const auto nativeRate = static_cast<int64_t>(config.canonicalRate);
  writer.setNativeRateAtOpen(nativeRate);
  writer.setNativeRateNow(nativeRate);
  writer.setNativeChannelsAtOpen(config.canonicalChannels);
  writer.setNativeChannelsNow(config.canonicalChannels);
  writer.open();

  const auto format = AudioFormat::make(CommonFormat::pcmFloat32, config.canonicalRate,
                                        static_cast<uint32_t>(config.canonicalChannels), true);
  if (!format) exitWithError("test_setup_failed", "Could not build canonical PCM format", 1);

  const auto total = static_cast<int64_t>(static_cast<double>(config.durationSec) * config.canonicalRate);
  int64_t written = 0;
  // One buffer serves every write: silence, and the writer never changes it.
  std::unique_ptr<PCMBuffer> buffer;
  while (written < total) {
    const int64_t n = std::min(kMaxBufferFrames, total - written);
    if (!buffer) {
      buffer = PCMBuffer::make(*format, static_cast<uint32_t>(kMaxBufferFrames));
      if (!buffer) exitWithError("test_setup_failed", "Could not allocate PCM buffer", 1);
    }
    buffer->setFrameLength(static_cast<uint32_t>(n));
    writer.write(*buffer);
    written += n;
  }

  const auto sealed = writer.sealFinal();
  if (!sealed) exitWithError("writer_failed", "sealFinal produced no segment", 1);

  if (const int fd = ::open(sealed->segmentPath.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  struct stat st {};
  const int64_t bytes = ::stat(sealed->segmentPath.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;

  gEventBus.enqueue(Event{{"type", "test_segment_written"},
                          {"path", sealed->segmentPath},
                          {"bytes", bytes},
                          {"frames", written},
                          {"canonical_rate", config.canonicalRate},
                          {"canonical_channels", config.canonicalChannels},
                          {"format", "caf_pcm_s16le"}});
  gEventBus.flushAndStop();
  std::_Exit(0);
}

}  // namespace helper
