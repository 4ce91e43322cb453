#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace helper {

enum class HelperMode {
  capture,
  concat,
  mix,
  permissions,
  testSegmentWriter,
  testClassify,
  testDeviceFollowing,
  testControlPlane,
  testSyntheticCapture,
  testHardwareInputStress,
  testMicTapScratch,
  selfTest,
};

// The --mode text of a mode, and the mode of an exact --mode text.
const char* rawValue(HelperMode mode);
std::optional<HelperMode> helperModeFromRaw(const std::string& raw);

struct CaptureConfig {
  std::string sessionDir;
  std::string sessionUUID;
  bool includeMic = false;
  bool includeSystem = false;
  int32_t excludePID = 0;
  int64_t micBitrate = 96000;
  int64_t systemBitrate = 96000;
  int64_t segmentSeconds = 30;
  double canonicalRate = 24000.0;
  int64_t canonicalMicChannels = 1;
  int64_t canonicalSystemChannels = 2;
  std::optional<float> micGain;
};

struct ConcatConfig {
  std::string manifest;
  std::string source;
  std::string outPath;
  int64_t outputRate = 48000;
  int64_t outputChannels = 2;
  int64_t outputBitrate = 128000;
};

struct MixConfig {
  std::optional<std::string> micPath;
  std::optional<std::string> systemPath;
  std::string outPath;
  float micGain = 1.0f;
  float systemGain = 1.0f;
  int64_t outputChannels = 2;
  int64_t outputRate = 48000;
  int64_t outputBitrate = 128000;
};

struct TestSegmentWriterConfig {
  std::string outputDir;
  std::string source;
  double canonicalRate = 24000.0;
  int64_t canonicalChannels = 1;
  int64_t durationSec = 10;
};

struct PermissionConfig {
  bool includeMic = false;
  bool includeSystem = false;
  bool request = false;
};

struct ParsedArguments {
  HelperMode mode;
  std::optional<CaptureConfig> captureConfig;
  std::optional<ConcatConfig> concatConfig;
  std::optional<MixConfig> mixConfig;
  std::optional<TestSegmentWriterConfig> testSegmentWriterConfig;
  std::optional<PermissionConfig> permissionConfig;
};

// Parses the process arguments (argv[0] included). Every error ends the
// process through exitWithError and does not return.
ParsedArguments parseArguments(const std::vector<std::string>& args);

// Number parsers of the command line: the whole text must be the number.
std::optional<int64_t> parseIntOption(const std::string& text);
std::optional<int32_t> parseInt32Option(const std::string& text);
// C-locale decimal; non-finite results count as invalid.
std::optional<double> parseDoubleOption(const std::string& text);
std::optional<float> parseFloatOption(const std::string& text);

}  // namespace helper
