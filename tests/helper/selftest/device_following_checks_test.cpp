#include "helper/selftest/device_following_checks.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "tests/helper/selftest/stderr_capture.h"

namespace helper {
namespace {

using selftesttest::StderrCapture;

struct ChecksRun {
  std::set<std::string> failedNames;
  std::string otherLines;
  int64_t passed = 0;
  int64_t failed = 0;
};

ChecksRun runChecks(const DeviceFollowingFactory& make) {
  StderrCapture capture;
  TestReport report;
  runDeviceFollowingChecks(report, make);
  ChecksRun run;
  std::istringstream lines(capture.text());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("FAIL: ", 0) == 0) {
      run.failedNames.insert(line.substr(6));
    } else {
      run.otherLines += line + "\n";
    }
  }
  run.passed = report.passed();
  run.failed = report.failed();
  return run;
}

// A state built with some of the case's arguments replaced.
DeviceFollowingFactory distorted(std::function<void(uint64_t&, uint64_t&, int&)> change) {
  return [change](DeviceFollowingState::Clock clock, uint64_t debounceNs, uint64_t windowNs, int maxEntries) {
    change(debounceNs, windowNs, maxEntries);
    return makeDeviceFollowingState(std::move(clock), debounceNs, windowNs, maxEntries);
  };
}

const std::set<std::string> kTimeWindowChecks = {"suppress within 60s",
                                                 "still suppressed at 59s",
                                                 "allowed after 61s",
                                                 "unknown UID not suppressed",
                                                 "max 16 entries after 20 inserts",
                                                 "oldest evicted",
                                                 "newest kept",
                                                 "stale entry evicted",
                                                 "fresh entry kept"};

// The failures among the checks that run on a manual clock, which cannot
// depend on how busy the machine is.
std::set<std::string> timeWindowFailures(const ChecksRun& run) {
  std::set<std::string> out;
  for (const auto& name : run.failedNames) {
    if (kTimeWindowChecks.count(name)) out.insert(name);
  }
  return out;
}

TEST(DeviceFollowingChecks, TheProductionStatePassesEveryManualClockCheckAndTwelveAreCounted) {
  const auto run = runChecks(makeDeviceFollowingState);
  EXPECT_EQ(run.passed + run.failed, 12);
  EXPECT_EQ(timeWindowFailures(run), std::set<std::string>{});
  EXPECT_EQ(run.otherLines, "");  // passes are silent
  EXPECT_EQ(static_cast<int64_t>(run.failedNames.size()), run.failed);
}

TEST(DeviceFollowingChecks, TheFollowBackWindowIsMeasuredOnTheState) {
  const auto longer = runChecks(distorted([](uint64_t&, uint64_t& window, int&) { window = 120'000'000'000ULL; }));
  EXPECT_EQ(timeWindowFailures(longer), (std::set<std::string>{"allowed after 61s", "stale entry evicted"}));
  const auto shorter = runChecks(distorted([](uint64_t&, uint64_t& window, int&) { window = 30'000'000'000ULL; }));
  EXPECT_EQ(timeWindowFailures(shorter), (std::set<std::string>{"still suppressed at 59s"}));
  EXPECT_EQ(longer.passed + longer.failed, 12);
  EXPECT_EQ(shorter.passed + shorter.failed, 12);
}

TEST(DeviceFollowingChecks, TheSizeLimitIsMeasuredOnTheState) {
  const auto roomy = runChecks(distorted([](uint64_t&, uint64_t&, int& max) { max = 32; }));
  EXPECT_EQ(timeWindowFailures(roomy), (std::set<std::string>{"max 16 entries after 20 inserts", "oldest evicted"}));
  // A table that keeps nothing suppresses nothing and holds nothing; the
  // checks of absence still pass.
  const auto none = runChecks(distorted([](uint64_t&, uint64_t&, int& max) { max = 0; }));
  EXPECT_EQ(timeWindowFailures(none), (std::set<std::string>{"suppress within 60s", "still suppressed at 59s",
                                                             "newest kept", "fresh entry kept"}));
}

TEST(DeviceFollowingChecks, ADebounceThatHasNotFiredByTheReadFailsEveryDebounceCheck) {
  // Ten times the window: the handlers cannot have run when the case reads.
  const auto run = runChecks(distorted([](uint64_t& debounce, uint64_t&, int&) { debounce *= 10; }));
  EXPECT_EQ(run.failedNames, (std::set<std::string>{"debounce fires once", "debounce keeps last device",
                                                    "debounce reset fires once total"}));
  EXPECT_EQ(run.passed, 9);
  EXPECT_EQ(run.failed, 3);
}

}  // namespace
}  // namespace helper
