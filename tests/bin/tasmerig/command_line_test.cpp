#include <gtest/gtest.h>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

using tasmerigtest::runTasmerig;

// The run ends with exactly one fatal_error line and the given status.
void expectFatal(const testsupport::RunResult& r, const std::string& reason, const std::string& ctx, int code) {
  EXPECT_EQ(r.exitCode, code) << r.err;
  EXPECT_EQ(r.out, "");
  auto events = r.errEvents();
  ASSERT_EQ(events.size(), 1u) << r.err;
  EXPECT_EQ(events[0], (nlohmann::json{{"type", "fatal_error"}, {"reason", reason}, {"ctx", ctx}}));
}

const char* kInvalidMode =
    "Missing or invalid --mode. Expected: capture, concat, mix, permissions, test-segment-writer, "
    "test-synthetic-capture, test-control-plane, test-hardware-input-stress, test-mic-tap-scratch, self-test.";

TEST(TasmerigCommandLine, NoArguments) {
  expectFatal(runTasmerig({}), "bad_args",
              "No arguments. Use --mode capture|concat|mix|permissions|test-segment-writer|test-synthetic-capture.", 2);
}

TEST(TasmerigCommandLine, ArgumentWalkErrors) {
  expectFatal(runTasmerig({"--mode"}), "bad_args", "Missing value for --mode", 2);
  expectFatal(runTasmerig({"--mode", "permissions", "--include-mic"}), "bad_args", "Missing value for --include-mic",
              2);
  // The unknown flag is found before the mode is looked at.
  expectFatal(runTasmerig({"--bogus", "x", "--mode", "nonsense"}), "bad_args", "Unknown flag: --bogus", 2);
  expectFatal(runTasmerig({"--mode", "Capture"}), "bad_args", kInvalidMode, 2);
  expectFatal(runTasmerig({"--include-mic", "true"}), "bad_args", kInvalidMode, 2);
}

TEST(TasmerigCommandLine, ProtocolVersion) {
  expectFatal(runTasmerig({"--mode", "permissions", "--include-mic", "true", "--protocol-version", "3"}),
              "bad_protocol_version", "Expected 2, got 3", 1);
  auto r = runTasmerig({"--mode", "permissions", "--include-mic", "true", "--protocol-version", "abc"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(TasmerigCommandLine, EachModesRequirements) {
  expectFatal(runTasmerig({"--mode", "capture", "--include-mic", "true"}), "bad_args",
              "capture mode requires --session-dir", 2);
  expectFatal(runTasmerig({"--mode", "test-synthetic-capture"}), "bad_args",
              "test-synthetic-capture mode requires --session-dir", 2);
  expectFatal(runTasmerig({"--mode", "capture", "--session-dir", "/tmp/x", "--include-mic", "TRUE"}), "bad_args",
              "At least one of --include-mic or --include-system must be true", 2);
  expectFatal(runTasmerig({"--mode", "concat", "--manifest", "m", "--out", "o"}), "bad_args",
              "concat mode requires --manifest, --source, --out", 2);
  expectFatal(runTasmerig({"--mode", "concat", "--manifest", "m", "--out", "o", "--source", "Mic"}), "bad_args",
              "--source must be mic or system", 2);
  expectFatal(runTasmerig({"--mode", "mix", "--mic", "a"}), "bad_args", "mix mode requires --out", 2);
  expectFatal(runTasmerig({"--mode", "mix", "--out", "o"}), "bad_args",
              "mix mode requires at least one of --mic or --system", 2);
  expectFatal(runTasmerig({"--mode", "permissions", "--include-mic", "yes"}), "bad_args",
              "permissions mode requires at least one of --include-mic or --include-system", 2);
  expectFatal(runTasmerig({"--mode", "test-segment-writer", "--source", "mic"}), "bad_args",
              "test-segment-writer mode requires --out (used as output directory)", 2);
  expectFatal(runTasmerig({"--mode", "test-segment-writer", "--out", "/tmp/x"}), "bad_args",
              "test-segment-writer mode requires --source mic|system", 2);
  expectFatal(runTasmerig({"--mode", "test-segment-writer", "--out", "/tmp/x", "--source", "both"}), "bad_args",
              "test-segment-writer mode requires --source mic|system", 2);
}

TEST(TasmerigCommandLine, RefusesValuesARecordingCannotUse) {
  // One of these runs gets as far as recording: its session stays in here.
  testsupport::TempDir dir;
  const std::string session = (dir / "session").string();
  const std::vector<std::string> base = {"--mode", "capture", "--session-dir", session, "--include-mic", "true"};
  auto with = [&](std::vector<std::string> extra) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return runTasmerig(args);
  };
  const std::string rate = "--canonical-rate must be between 1 and 384000";
  expectFatal(with({"--canonical-rate", "0"}), "bad_args", rate, 2);
  expectFatal(with({"--canonical-rate", "-24000"}), "bad_args", rate, 2);
  expectFatal(with({"--canonical-rate", "384001"}), "bad_args", rate, 2);
  expectFatal(with({"--canonical-mic-channels", "0"}), "bad_args", "--canonical-mic-channels must be at least 1", 2);
  expectFatal(with({"--canonical-system-channels", "-1"}), "bad_args", "--canonical-system-channels must be at least 1",
              2);
  expectFatal(with({"--segment-seconds", "0"}), "bad_args", "--segment-seconds must be at least 1", 2);
  // A rate that is no finite number is refused, not replaced by the default.
  for (const std::string bad : {"inf", "nan", "1e999", "24k"})
    expectFatal(with({"--canonical-rate", bad}), "bad_args", rate, 2);
  expectFatal(
      runTasmerig({"--mode", "test-segment-writer", "--out", session, "--source", "mic", "--canonical-rate", "nan"}),
      "bad_args", rate, 2);

  const std::vector<std::string> writer = {"--mode", "test-segment-writer", "--out", session, "--source", "mic"};
  auto withWriter = [&](std::vector<std::string> extra) {
    auto args = writer;
    args.insert(args.end(), extra.begin(), extra.end());
    return runTasmerig(args);
  };
  expectFatal(withWriter({"--duration-sec", "-1"}), "bad_args", "--duration-sec must not be negative", 2);
  expectFatal(withWriter({"--duration-sec", "9223372036854775807"}), "bad_args",
              "--duration-sec is too long for --canonical-rate", 2);
  expectFatal(withWriter({"--duration-sec", "400000000000000", "--canonical-rate", "384000"}), "bad_args",
              "--duration-sec is too long for --canonical-rate", 2);
}

}  // namespace
