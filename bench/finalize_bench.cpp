// Finalisation benchmark: generates a two-source session with echo risk
// (one hour by default) and times each stage of the rebuild, then the whole
// finalisation as kelvaro runs it.
//
//   finalize_bench [minutes] [work-dir]
//
// The stages call the same library functions as the finalisation, so their
// times can be set against ffmpeg encoding or speexdsp cancelling alone.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "recorder/aec/echo_canceller.h"
#include "recorder/export/encode.h"
#include "recorder/export/export_constants.h"
#include "recorder/export/finalize.h"
#include "recorder/export/hashing.h"
#include "recorder/export/manifest.h"
#include "recorder/export/timeline.h"
#include "recorder/export/validation.h"
#include "recorder/journal/journal.h"
#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/plan.h"
#include "segment_format/segment_format.h"

namespace {

namespace fs = std::filesystem;
using namespace recorder;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRate = 24000;
constexpr std::size_t kSegmentFrames = segment_format::kFramesPerSegment;
constexpr std::size_t kEchoDelayFrames = 1440;  // 60 ms

[[noreturn]] void die(const std::string& what, const IoError& error) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), error.to_string().c_str());
  std::exit(1);
}

template <class T>
T check(IoResult<T> r, const std::string& what) {
  if (!r) die(what, r.error());
  return std::move(r).value();
}

void check(IoResult<void> r, const std::string& what) {
  if (!r) die(what, r.error());
}

// Times one stage and prints it.
template <class F>
auto stage(const char* name, F&& f) {
  const auto start = Clock::now();
  auto result = f();
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-22s %9.3f s\n", name, s);
  std::fflush(stdout);
  return result;
}

void write_segment(const fs::path& path, const std::vector<std::int16_t>& samples) {
  auto header = recovery::caf_header(kRate, 0);
  for (int i = 56; i < 64; ++i) header[i] = 0xFF;  // left unknown, as the capture helper does
  auto file = check(File::create(path), "create " + path.string());
  check(write_all(file, header), "write header");
  const auto bytes = recovery::samples_to_bytes(samples);
  check(write_all(file, bytes), "write samples");
}

// Speech-like far end: noise bursts shaped by a slow envelope; the mic hears
// it 60 ms late at half level, plus a quieter near-end talker.
void generate(const fs::path& dir, std::size_t minutes) {
  fs::create_directories(dir / "mic");
  fs::create_directories(dir / "system");
  const std::size_t total = minutes * 60 * kRate;
  const std::size_t segments = (total + kSegmentFrames - 1) / kSegmentFrames;
  std::mt19937 gen(42);
  std::normal_distribution<double> far(0, 3000), near(0, 800);
  std::vector<std::int16_t> history(kEchoDelayFrames, 0);
  std::string manifest;
  for (std::size_t seg = 0; seg < segments; ++seg) {
    const std::size_t n = std::min(kSegmentFrames, total - seg * kSegmentFrames);
    std::vector<std::int16_t> system(n), mic(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(seg * kSegmentFrames + i) / kRate;
      const double far_env = 0.5 + 0.5 * std::sin(2 * M_PI * 0.3 * t);
      const double near_env = std::max(0.0, std::sin(2 * M_PI * 0.07 * t));
      system[i] = static_cast<std::int16_t>(std::clamp(far(gen) * far_env, -32768.0, 32767.0));
      const std::size_t slot = (seg * kSegmentFrames + i) % kEchoDelayFrames;
      const int echo = history[slot] / 2;
      history[slot] = system[i];
      mic[i] = static_cast<std::int16_t>(std::clamp(echo + near(gen) * near_env, -32768.0, 32767.0));
    }
    char name[32];
    std::snprintf(name, sizeof name, "%06zu.caf", seg + 1);
    write_segment(dir / "mic" / name, mic);
    write_segment(dir / "system" / name, system);
    const auto ms = std::to_string(n * 1000 / kRate);
    for (const char* source : {"mic", "system"}) {
      manifest += std::string("{\"type\":\"segment_closed\",\"source\":\"") + source +
                  "\",\"seq\":" + std::to_string(seg + 1) + ",\"duration_ms\":" + ms + "}\n";
    }
  }
  check(exporter::write_file_replacing(dir / "manifest.jsonl", manifest), "manifest");
  check(exporter::write_file_replacing(
            dir / "journal.jsonl",
            "{\"schema_version\":1,\"monotonic_ms\":0,\"wall_utc_ms\":0,\"type\":\"output_device_detected\","
            "\"device_class\":\"built_in_speakers\",\"echo_risk\":true}\n"),
        "journal");
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t minutes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 60;
  fs::path work =
      argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / ("finalize-bench-" + std::to_string(::getpid()));
  const fs::path dir = work / "session";
  std::printf("finalisation of %zu min, two sources, echo risk, in %s\n", minutes, dir.c_str());

  stage("generate", [&] {
    generate(dir, minutes);
    return 0;
  });
  const auto plan = stage("plan", [&] { return check(recovery::kelvaro_plan(dir, kSegmentFrames), "plan"); });
  const std::uint64_t expected_ms = plan.duration_ms.value_or(0);
  const auto mic_slots = check(exporter::read_manifest_entries(dir, "mic"), "manifest");
  const auto system_slots = check(exporter::read_manifest_entries(dir, "system"), "manifest");
  const auto target =
      exporter::compute_material_frames(expected_ms * 24, plan.mic, plan.system, mic_slots, system_slots);
  stage("timeline mic", [&] {
    return check(exporter::build_source_timeline(plan.mic, mic_slots, dir / "mic_timeline.caf", target), "timeline");
  });
  stage("timeline system", [&] {
    return check(exporter::build_source_timeline(plan.system, system_slots, dir / "system_timeline.caf", target),
                 "timeline");
  });
  const auto metrics = stage("echo cancellation", [&] {
    return check(
        aec::cancel_mic_echo(dir / "mic_timeline.caf", dir / "system_timeline.caf", dir / "mic_cleaned.caf", kRate),
        "echo cancellation");
  });
  std::printf("%-22s erle %.1f dB, delay %llu ms, action %.2f\n", "", metrics.erle_db,
              static_cast<unsigned long long>(metrics.delay_ms), metrics.action_fraction);
  fs::create_directories(dir / "stages");
  stage("mix", [&] {
    return check(exporter::mix_caf_sources(dir / "mic_cleaned.caf", dir / "system_timeline.caf",
                                           dir / "stages" / "mixed.caf", kRate),
                 "mix");
  });
  stage("encode (AAC)", [&] {
    return check(
        exporter::encode_aac(dir / "stages" / "mixed.caf", dir / "stages" / "upload.m4a", exporter::kFinalBitrate),
        "encode");
  });
  const exporter::FfprobeValidator validator(exporter::ffprobe_program());
  const auto validation = stage("validate", [&] {
    return check(validator.validate_final_audio(dir / "stages" / "upload.m4a", expected_ms), "validate");
  });
  std::printf("%-22s %s, %llu ms\n", "", validation.passed ? "passed" : validation.error.value_or("failed").c_str(),
              static_cast<unsigned long long>(validation.duration_ms));
  stage("sha256", [&] { return check(exporter::compute_sha256(dir / "stages" / "upload.m4a"), "sha256"); });

  // The whole finalisation as the command runs it.
  fs::remove_all(dir / "stages");
  fs::remove(dir / "mic_cleaned.caf");
  auto journal = check(journal::JournalWriter::create(dir, 0), "journal");
  exporter::FinalizeRequest request;
  request.session_id = "bench";
  request.session_dir = dir.string();
  request.expected_ms = expected_ms;
  request.has_mic = !plan.mic.empty();
  request.has_system = !plan.system.empty();
  const auto outcome =
      stage("finalize_session", [&] { return exporter::finalize_session(request, plan, validator, journal); });
  if (!outcome.ok()) {
    std::fprintf(stderr, "finalize failed: %s\n", outcome.error().to_string().c_str());
    return 1;
  }
  std::printf("%-22s %llu bytes, %llu ms\n", "", static_cast<unsigned long long>(outcome.value().report.bytes),
              static_cast<unsigned long long>(outcome.value().report.duration_ms));
  if (argc <= 2) fs::remove_all(work);
  return 0;
}
