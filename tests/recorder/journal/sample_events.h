#pragma once
#include <vector>

#include "recorder/journal/journal_event.h"

namespace recorder::journal {

// One event of every kind, with values unlike the defaults.
inline std::vector<JournalEvent> one_of_each_kind() {
  return {
      SessionCreated{"s-1", true, false},
      SessionAbandoned{"user quit"},
      IntentChanged{"record", "stop"},
      CommandSent{"pause", "r-1"},
      CommandRejected{"resume", "busy", SessionPhase::RecordingWithWarnings},
      HelperStarted{4294967295U},
      HelperReady{"2"},
      HelperExited{-2147483647 - 1},
      HelperUnresponsive{},
      SourceStarted{"mic", DeviceClass::BluetoothMic, 16000},
      SourceRecovered{"system"},
      SourceFailed{"mic", FailureReason::named(FailureReason::Kind::DeviceLost), true},
      SourceHealth{"mic", "degraded", 0},
      SegmentOpened{"system", 7, "/s/system/000007.caf"},
      SegmentClosed{"mic", 3, 720000, 30000, 1440068},
      DeviceChanged{"mic", DeviceClass::UsbMic, DeviceClass::BuiltInMic},
      DeviceFollowbackSuppressed{"mic", DeviceClass::BluetoothMic, "recently_disconnected"},
      OutputDeviceDetected{DeviceClass::BuiltInSpeakers, true},
      OutputDeviceChanged{DeviceClass::HeadphoneJack, false},
      FenceRequested{"pause", "r-2"},
      FenceAcked{"stop", "r-3"},
      FenceTimeout{"resume", "r-4"},
      PauseEpochStarted{2, 61000},
      PauseEpochEnded{2},
      PhaseChanged{SessionPhase::FailedCanFinalize, SessionPhase::FailedTerminal},
      CandidateValidationStarted{},
      CandidateRejected{"pause_invalidated"},
      ExportStarted{ExportMethod::LiveCandidate},
      ExportCompleted{ExportMethod::FallbackCaf, 1500, "final/upload.m4a", 123456},
      ExportFailed{ExportMethod::FallbackCaf, "no source segments"},
      FinalAudioHashed{std::string(64, 'a'), 99, "final/upload.m4a"},
      UploadStarted{"key", 3},
      UploadCompleted{},
      UploadFailed{"timeout", 4, false},
      TranscriptionJobCreated{"job-9", "key"},
      SourceCleanupCompleted{},
      CleanupFailed{"busy"},
      FinalAudioDeleted{},
      RecoveryStarted{},
      RecoveryCompleted{18446744073709551615ULL},
      SourceOverflow{"system", 4096, 2048},
      DiskPreflightPassed{1000, 10},
      DiskPreflightFailed{5, 10},
      DiskLowWarning{42},
      DiskHardStop{7},
      ProtocolError{"bad line"},
      Unknown{},
  };
}

}  // namespace recorder::journal
