#include <gtest/gtest.h>

#include "tests/bin/tasmerig/tasmerig_run.h"
#include "tests/support/temp_dir.h"

namespace {

using tasmerigtest::runTasmerig;

// Runs the permissions mode in a world scripted by `scenario`.
testsupport::RunResult runPermissions(const std::vector<std::string>& extra, const std::string& scenario = "{}") {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "world.json", scenario);
  testsupport::RunOptions o;
  o.env["VORLANTHEA_SIM_SCENARIO"] = (dir / "world.json").string();
  std::vector<std::string> args = {"--mode", "permissions"};
  args.insert(args.end(), extra.begin(), extra.end());
  return runTasmerig(args, o);
}

TEST(TasmerigPermissions, GrantedWorldPrintsSortedObjectAndNothingElse) {
  auto mic = runPermissions({"--include-mic", "true"});
  EXPECT_EQ(mic.exitCode, 0);
  EXPECT_EQ(mic.out, "{\"microphone\":\"granted\"}\n");
  EXPECT_EQ(mic.err, "");

  auto both = runPermissions({"--include-system", "true", "--include-mic", "true"});
  EXPECT_EQ(both.exitCode, 0);
  EXPECT_EQ(both.out, "{\"microphone\":\"granted\",\"systemAudio\":\"granted\"}\n");
  EXPECT_EQ(both.err, "");

  auto sys = runPermissions({"--include-system", "true"});
  EXPECT_EQ(sys.out, "{\"systemAudio\":\"granted\"}\n");
}

TEST(TasmerigPermissions, UndecidedAndRefusedStates) {
  const std::string undecided = R"({"permissions": {"microphone": {"status": 0}, "system_audio": {"preflight": 1}}})";
  auto r = runPermissions({"--include-mic", "true", "--include-system", "true"}, undecided);
  EXPECT_EQ(r.out, "{\"microphone\":\"prompt\",\"systemAudio\":\"prompt\"}\n");

  const std::string restricted = R"({"permissions": {"microphone": {"status": 1}, "system_audio": {"preflight": -1}}})";
  r = runPermissions({"--include-mic", "true", "--include-system", "true"}, restricted);
  EXPECT_EQ(r.out, "{\"microphone\":\"denied\",\"systemAudio\":\"unknown\"}\n");
  r = runPermissions({"--include-mic", "true", "--request-permission", "true"}, restricted);
  EXPECT_EQ(r.out, "{\"microphone\":\"denied\"}\n");

  r = runPermissions({"--include-mic", "true"}, R"({"permissions": {"microphone": {"status": 2}}})");
  EXPECT_EQ(r.out, "{\"microphone\":\"denied\"}\n");
  r = runPermissions({"--include-mic", "true"}, R"({"permissions": {"microphone": {"status": 7}}})");
  EXPECT_EQ(r.out, "{\"microphone\":\"unknown\"}\n");
}

TEST(TasmerigPermissions, MissingConsentServiceIsUnknownOrDeniedOnRequest) {
  const std::string gone = R"({"permissions": {"system_audio": {"available": false}}})";
  EXPECT_EQ(runPermissions({"--include-system", "true"}, gone).out, "{\"systemAudio\":\"unknown\"}\n");
  EXPECT_EQ(runPermissions({"--include-system", "true", "--request-permission", "true"}, gone).out,
            "{\"systemAudio\":\"denied\"}\n");
  const std::string noPreflight = R"({"permissions": {"system_audio": {"has_preflight": false}}})";
  EXPECT_EQ(runPermissions({"--include-system", "true"}, noPreflight).out, "{\"systemAudio\":\"unknown\"}\n");
  const std::string noRequest = R"({"permissions": {"system_audio": {"preflight": 1, "has_request": false}}})";
  EXPECT_EQ(runPermissions({"--include-system", "true", "--request-permission", "true"}, noRequest).out,
            "{\"systemAudio\":\"denied\"}\n");
}

TEST(TasmerigPermissions, RequestsTakeTheUsersAnswer) {
  const std::string yes = R"({"permissions": {
      "microphone": {"status": 0, "answer": true, "answer_delay_ms": 50},
      "system_audio": {"preflight": 1, "answer": true, "answer_delay_ms": 50}}})";
  EXPECT_EQ(
      runPermissions({"--include-mic", "true", "--include-system", "true", "--request-permission", "true"}, yes).out,
      "{\"microphone\":\"granted\",\"systemAudio\":\"granted\"}\n");
  const std::string no = R"({"permissions": {
      "microphone": {"status": 0, "answer": false},
      "system_audio": {"preflight": 1, "answer": false}}})";
  EXPECT_EQ(
      runPermissions({"--include-mic", "true", "--include-system", "true", "--request-permission", "true"}, no).out,
      "{\"microphone\":\"denied\",\"systemAudio\":\"denied\"}\n");
}

TEST(TasmerigPermissions, AFailedWriteIsAFatalErrorNotSuccessNorSigpipe) {
  testsupport::RunOptions o;
  o.stdoutBroken = true;
  auto r = runTasmerig({"--mode", "permissions", "--include-mic", "true"}, o);
  EXPECT_EQ(r.termSignal, 0) << "killed by a signal";
  EXPECT_EQ(r.exitCode, 1);
  auto events = r.errEvents();
  ASSERT_EQ(events.size(), 1u) << r.err;
  EXPECT_EQ(events[0]["type"], "fatal_error");
  EXPECT_EQ(events[0]["reason"], "permission_check_failed");
}

}  // namespace
