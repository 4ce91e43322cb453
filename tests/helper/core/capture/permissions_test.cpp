#include "helper/core/capture/permissions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/permissions/permissions.h"
#include "platform/permissions/permissions_testing.h"

namespace helper {
namespace {

namespace perm = platform::permissions::testing;

class PermissionRequests : public ::testing::Test {
 protected:
  void TearDown() override { perm::reset(); }
};

TEST_F(PermissionRequests, AnAnswerAfterTheTimeOutCountsAsNoAndTouchesNothing) {
  perm::setMicrophone({platform::permissions::kMicNotDetermined, true, 100});
  EXPECT_EQ(microphonePermissionStatus(true, 10'000'000), "denied");
  perm::SystemAudioSettings sys;
  sys.preflight = 1;
  sys.answer = true;
  sys.answerDelayMs = 100;
  sys.preflightAfterAnswer = 1;
  perm::setSystemAudio(sys);
  // No answer in time: a fresh preflight decides.
  EXPECT_FALSE(requestAudioCapturePermission(10'000'000));
  // The late answers arrive after the waiters have gone; under the address
  // sanitizer a write into their freed state would fail this test.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

TEST_F(PermissionRequests, TimelyAnswersDecide) {
  perm::setMicrophone({platform::permissions::kMicNotDetermined, true, 5});
  EXPECT_EQ(microphonePermissionStatus(true, 5'000'000'000), "granted");
  perm::SystemAudioSettings sys;
  sys.preflight = 1;
  sys.answer = false;
  sys.answerDelayMs = 5;
  perm::setSystemAudio(sys);
  EXPECT_FALSE(requestAudioCapturePermission(5'000'000'000));
  EXPECT_EQ(systemAudioPermissionStatus(false), "prompt");
}

}  // namespace
}  // namespace helper
