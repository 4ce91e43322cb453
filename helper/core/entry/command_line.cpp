#include "helper/core/entry/command_line.h"

#include <locale.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"

namespace helper {
namespace {

constexpr std::array<std::pair<HelperMode, const char*>, 12> kModeNames = {{
    {HelperMode::capture, "capture"},
    {HelperMode::concat, "concat"},
    {HelperMode::mix, "mix"},
    {HelperMode::permissions, "permissions"},
    {HelperMode::testSegmentWriter, "test-segment-writer"},
    {HelperMode::testClassify, "test-classify"},
    {HelperMode::testDeviceFollowing, "test-device-following"},
    {HelperMode::testControlPlane, "test-control-plane"},
    {HelperMode::testSyntheticCapture, "test-synthetic-capture"},
    {HelperMode::testHardwareInputStress, "test-hardware-input-stress"},
    {HelperMode::testMicTapScratch, "test-mic-tap-scratch"},
    {HelperMode::selfTest, "self-test"},
}};

// Options that take a value, in matching order; --debug-ioproc is the one flag.
constexpr std::array<const char*, 25> kValueOptions = {"--mode",
                                                       "--session-dir",
                                                       "--session-uuid",
                                                       "--include-mic",
                                                       "--include-system",
                                                       "--exclude-pid",
                                                       "--mic-bitrate",
                                                       "--system-bitrate",
                                                       "--segment-seconds",
                                                       "--canonical-rate",
                                                       "--canonical-mic-channels",
                                                       "--canonical-system-channels",
                                                       "--protocol-version",
                                                       "--manifest",
                                                       "--source",
                                                       "--out",
                                                       "--mic",
                                                       "--system",
                                                       "--mic-gain",
                                                       "--system-gain",
                                                       "--output-channels",
                                                       "--output-rate",
                                                       "--output-bitrate",
                                                       "--duration-sec",
                                                       "--request-permission"};

constexpr double kMaxCanonicalRate = 384000.0;

[[noreturn]] void badArgs(const std::string& ctx) { exitWithError("bad_args", ctx, 2); }

locale_t cLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool startsNumber(const std::string& text) {
  // The C parser skips leading white space; the option does not allow it.
  return !text.empty() && !std::isspace(static_cast<unsigned char>(text[0]));
}

class Options {
 public:
  void set(const std::string& name, std::string value) { values_[name] = std::move(value); }
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> text(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  bool boolean(const std::string& name) const { return text(name) == std::optional<std::string>("true"); }
  int64_t integer(const std::string& name, int64_t fallback) const {
    auto t = text(name);
    if (!t) return fallback;
    return parseIntOption(*t).value_or(fallback);
  }
  double real(const std::string& name, double fallback) const {
    auto t = text(name);
    if (!t) return fallback;
    return parseDoubleOption(*t).value_or(fallback);
  }
  float real32(const std::string& name, float fallback) const {
    auto t = text(name);
    if (!t) return fallback;
    return parseFloatOption(*t).value_or(fallback);
  }

 private:
  std::map<std::string, std::string> values_;
};

// A rate given that is no finite number (inf, nan, an overflow) is refused
// like one out of range, not replaced by the default.
double canonicalRateOption(const Options& o) {
  const auto text = o.text("--canonical-rate");
  const std::optional<double> rate = text ? parseDoubleOption(*text) : std::optional<double>(24000.0);
  if (!rate || !(*rate >= 1.0 && *rate <= kMaxCanonicalRate)) badArgs("--canonical-rate must be between 1 and 384000");
  return *rate;
}

CaptureConfig buildCaptureConfig(const Options& o, HelperMode mode) {
  if (!o.has("--session-dir")) badArgs(std::string(rawValue(mode)) + " mode requires --session-dir");
  CaptureConfig c;
  c.includeMic = o.boolean("--include-mic");
  c.includeSystem = o.boolean("--include-system");
  if (!c.includeMic && !c.includeSystem) badArgs("At least one of --include-mic or --include-system must be true");
  c.sessionDir = *o.text("--session-dir");
  c.sessionUUID = o.text("--session-uuid").value_or("");
  const int32_t ownPid = static_cast<int32_t>(::getpid());
  c.excludePID = ownPid;
  if (auto t = o.text("--exclude-pid")) c.excludePID = parseInt32Option(*t).value_or(ownPid);
  c.micBitrate = o.integer("--mic-bitrate", 96000);
  c.systemBitrate = o.integer("--system-bitrate", 96000);
  c.segmentSeconds = o.integer("--segment-seconds", 30);
  c.canonicalRate = canonicalRateOption(o);
  c.canonicalMicChannels = o.integer("--canonical-mic-channels", 1);
  c.canonicalSystemChannels = o.integer("--canonical-system-channels", 2);
  if (o.has("--mic-gain")) c.micGain = o.real32("--mic-gain", 1.0f);
  // Values the recording cannot work with are refused up front rather than
  // discovered as a broken file later.
  if (c.canonicalMicChannels < 1) badArgs("--canonical-mic-channels must be at least 1");
  if (c.canonicalSystemChannels < 1) badArgs("--canonical-system-channels must be at least 1");
  if (c.segmentSeconds < 1) badArgs("--segment-seconds must be at least 1");
  return c;
}

ConcatConfig buildConcatConfig(const Options& o) {
  if (!o.has("--manifest") || !o.has("--source") || !o.has("--out")) {
    badArgs("concat mode requires --manifest, --source, --out");
  }
  ConcatConfig c;
  c.source = *o.text("--source");
  if (c.source != "mic" && c.source != "system") badArgs("--source must be mic or system");
  c.manifest = *o.text("--manifest");
  c.outPath = *o.text("--out");
  c.outputRate = o.integer("--output-rate", 48000);
  c.outputChannels = o.integer("--output-channels", 2);
  c.outputBitrate = o.integer("--output-bitrate", 128000);
  return c;
}

MixConfig buildMixConfig(const Options& o) {
  if (!o.has("--out")) badArgs("mix mode requires --out");
  if (!o.has("--mic") && !o.has("--system")) badArgs("mix mode requires at least one of --mic or --system");
  MixConfig c;
  c.micPath = o.text("--mic");
  c.systemPath = o.text("--system");
  c.outPath = *o.text("--out");
  c.micGain = o.real32("--mic-gain", 1.0f);
  c.systemGain = o.real32("--system-gain", 1.0f);
  c.outputChannels = o.integer("--output-channels", 2);
  c.outputRate = o.integer("--output-rate", 48000);
  c.outputBitrate = o.integer("--output-bitrate", 128000);
  return c;
}

PermissionConfig buildPermissionConfig(const Options& o) {
  PermissionConfig c;
  c.includeMic = o.boolean("--include-mic");
  c.includeSystem = o.boolean("--include-system");
  c.request = o.boolean("--request-permission");
  if (!c.includeMic && !c.includeSystem) {
    badArgs("permissions mode requires at least one of --include-mic or --include-system");
  }
  return c;
}

TestSegmentWriterConfig buildTestSegmentWriterConfig(const Options& o) {
  if (!o.has("--out")) badArgs("test-segment-writer mode requires --out (used as output directory)");
  auto source = o.text("--source");
  if (!source || (*source != "mic" && *source != "system")) {
    badArgs("test-segment-writer mode requires --source mic|system");
  }
  TestSegmentWriterConfig c;
  c.outputDir = *o.text("--out");
  c.source = *source;
  c.canonicalRate = canonicalRateOption(o);
  c.canonicalChannels =
      c.source == "mic" ? o.integer("--canonical-mic-channels", 1) : o.integer("--canonical-system-channels", 2);
  c.durationSec = o.integer("--duration-sec", 10);
  if (c.canonicalChannels < 0 || c.canonicalChannels > static_cast<int64_t>(UINT32_MAX)) {
    badArgs(std::string(c.source == "mic" ? "--canonical-mic-channels" : "--canonical-system-channels") +
            " must be between 0 and 4294967295");
  }
  if (c.durationSec < 0) badArgs("--duration-sec must not be negative");
  // The frame total (seconds x rate) and the writer's segment length
  // (seconds + 60) must both fit a signed 64-bit integer.
  const double frames = static_cast<double>(c.durationSec) * c.canonicalRate;
  if (frames >= 9.2e18 || c.durationSec > std::numeric_limits<int64_t>::max() - 60) {
    badArgs("--duration-sec is too long for --canonical-rate");
  }
  return c;
}

}  // namespace

const char* rawValue(HelperMode mode) {
  for (const auto& [m, name] : kModeNames) {
    if (m == mode) return name;
  }
  return "";
}

std::optional<HelperMode> helperModeFromRaw(const std::string& raw) {
  for (const auto& [m, name] : kModeNames) {
    if (raw == name) return m;
  }
  return std::nullopt;
}

std::optional<int64_t> parseIntOption(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Accumulate negatively so INT64_MIN fits.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return std::nullopt;
    value = -value;
  }
  return value;
}

std::optional<int32_t> parseInt32Option(const std::string& text) {
  auto v = parseIntOption(text);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(*v);
}

std::optional<double> parseDoubleOption(const std::string& text) {
  if (!startsNumber(text)) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = strtod_l(text.c_str(), &end, cLocale());
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<float> parseFloatOption(const std::string& text) {
  if (!startsNumber(text)) return std::nullopt;
  char* end = nullptr;
  const float v = strtof_l(text.c_str(), &end, cLocale());
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

ParsedArguments parseArguments(const std::vector<std::string>& args) {
  if (args.size() < 2)
    badArgs("No arguments. Use --mode capture|concat|mix|permissions|test-segment-writer|test-synthetic-capture.");
  Options o;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--debug-ioproc") {
      gDebugIOProc.store(true);
      continue;
    }
    bool known = false;
    for (const char* name : kValueOptions) {
      if (arg == name) {
        known = true;
        break;
      }
    }
    if (!known) badArgs("Unknown flag: " + arg);
    if (i + 1 >= args.size()) badArgs("Missing value for " + arg);
    o.set(arg, args[++i]);
  }

  std::optional<HelperMode> mode;
  if (auto m = o.text("--mode")) mode = helperModeFromRaw(*m);
  if (!mode) {
    badArgs(
        "Missing or invalid --mode. Expected: capture, concat, mix, permissions, test-segment-writer, "
        "test-synthetic-capture, test-control-plane, test-hardware-input-stress, test-mic-tap-scratch, self-test.");
  }
  if (auto t = o.text("--protocol-version")) {
    if (auto v = parseIntOption(*t); v && *v != kProtocolVersion) {
      exitWithError("bad_protocol_version",
                    "Expected " + std::to_string(kProtocolVersion) + ", got " + std::to_string(*v), 1);
    }
  }

  ParsedArguments out{*mode, {}, {}, {}, {}, {}};
  switch (*mode) {
    case HelperMode::capture:
    case HelperMode::testSyntheticCapture:
      out.captureConfig = buildCaptureConfig(o, *mode);
      break;
    case HelperMode::concat:
      out.concatConfig = buildConcatConfig(o);
      break;
    case HelperMode::mix:
      out.mixConfig = buildMixConfig(o);
      break;
    case HelperMode::permissions:
      out.permissionConfig = buildPermissionConfig(o);
      break;
    case HelperMode::testSegmentWriter:
      out.testSegmentWriterConfig = buildTestSegmentWriterConfig(o);
      break;
    default:
      break;
  }
  return out;
}

}  // namespace helper
