#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "recorder/journal/journal.h"
#include "recorder/journal/journal_format.h"
#include "tests/recorder/journal/sample_events.h"
#include "tests/support/temp_dir.h"

namespace recorder::journal {
namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// A writer whose clock and sync the test drives.
struct FakeServices {
  std::uint64_t now_ns = 5'000'000'000ULL;
  int syncs = 0;
  int sync_errno = 0;  // when set, every sync fails with it

  JournalWriter::Services services() {
    return {[this] { return now_ns; },
            [this](int) {
              ++syncs;
              if (sync_errno == 0) return 0;
              errno = sync_errno;
              return -1;
            }};
  }
};

std::string line_for(const JournalEvent& event, std::uint64_t mono, std::int64_t wall) {
  return *format_entry(JournalEntry{1, mono, wall, event});
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto lf = text.find('\n', start);
    lines.push_back(text.substr(start, lf - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

TEST(JournalWriter, CreateMakesTheDirectoriesAndKeepsExistingLines) {
  TempDir tmp;
  const auto dir = tmp.path() / "a" / "b" / "session";
  {
    auto writer = JournalWriter::create(dir, 1000);
    ASSERT_TRUE(writer.ok()) << writer.error().to_string();
    EXPECT_EQ(writer->path(), dir / "journal.jsonl");
    EXPECT_EQ(readFile(dir / "journal.jsonl"), "");  // nothing written on create
    ASSERT_TRUE(writer->append(RecoveryStarted{}).ok());
  }
  auto again = JournalWriter::create(dir, 1000);
  ASSERT_TRUE(again.ok());
  ASSERT_TRUE(again->append(UploadCompleted{}).ok());
  const auto lines = lines_of(readFile(dir / "journal.jsonl"));
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_NE(lines[0].find("recovery_started"), std::string::npos);
  EXPECT_NE(lines[1].find("upload_completed"), std::string::npos);
  // Real clock: each line's wall time is the wall start plus its monotonic time.
  const auto entries = read_journal(dir / "journal.jsonl");
  ASSERT_TRUE(entries.ok());
  for (const auto& e : *entries) EXPECT_EQ(e.wall_utc_ms, 1000 + static_cast<std::int64_t>(e.monotonic_ms));
}

TEST(JournalWriter, StampsTimeSinceCreateFromTheWallStart) {
  TempDir tmp;
  FakeServices fake;
  auto writer = JournalWriter::create(tmp.path(), 5000, fake.services());
  ASSERT_TRUE(writer.ok());
  fake.now_ns += 1'234'999'999;  // truncated to whole milliseconds
  ASSERT_TRUE(writer->append(ExportStarted{ExportMethod::FallbackCaf}).ok());
  ASSERT_TRUE(writer->append(ExportStarted{ExportMethod::LiveCandidate}).ok());  // same millisecond
  fake.now_ns = 1;                                                               // a clock before the start
  ASSERT_TRUE(writer->append(RecoveryStarted{}).ok());
  EXPECT_EQ(
      readFile(tmp / "journal.jsonl"),
      R"({"schema_version":1,"monotonic_ms":1234,"wall_utc_ms":6234,"type":"export_started","method":"fallback_caf"})"
      "\n"
      R"({"schema_version":1,"monotonic_ms":1234,"wall_utc_ms":6234,"type":"export_started","method":"live_candidate"})"
      "\n"
      R"({"schema_version":1,"monotonic_ms":0,"wall_utc_ms":5000,"type":"recovery_started"})"
      "\n");
}

TEST(JournalWriter, OnlyDurableKindsAreSynced) {
  const std::set<std::string> durable = {
      "session_created",
      "session_abandoned",
      "helper_exited",
      "source_failed",
      "segment_closed",
      "device_changed",
      "output_device_detected",
      "output_device_changed",
      "fence_acked",
      "fence_timeout",
      "pause_epoch_started",
      "pause_epoch_ended",
      "phase_changed",
      "candidate_rejected",
      "export_completed",
      "export_failed",
      "final_audio_hashed",
      "upload_completed",
      "upload_failed",
      "transcription_job_created",
      "source_cleanup_completed",
      "final_audio_deleted",
      "source_overflow",
      "disk_preflight_failed",
      "disk_low_warning",
      "disk_hard_stop",
  };
  ASSERT_EQ(durable.size(), 26U);
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kJournalEventKindCount; ++i) {
    if (durable.count(std::string(event_tag(i))) != 0) mask |= std::uint64_t{1} << i;
  }
  EXPECT_EQ(mask, kDurableKindMask);

  TempDir tmp;
  FakeServices fake;
  auto writer = JournalWriter::create(tmp.path(), 0, fake.services());
  ASSERT_TRUE(writer.ok());
  const auto events = one_of_each_kind();
  for (const auto& event : events) {
    const int before = fake.syncs;
    ASSERT_TRUE(writer->append(event).ok());
    EXPECT_EQ(fake.syncs - before, durable.count(std::string(event_tag(event))) != 0 ? 1 : 0) << event_tag(event);
  }
  const auto entries = read_journal(tmp / "journal.jsonl");
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), events.size());
  for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ((*entries)[i].event, events[i]);
}

TEST(JournalWriter, SyncFailureIsReportedAndTheLineStays) {
  TempDir tmp;
  FakeServices fake;
  fake.sync_errno = EIO;
  auto writer = JournalWriter::create(tmp.path(), 0, fake.services());
  ASSERT_TRUE(writer.ok());
  const auto r = writer->append(FinalAudioDeleted{});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Input/output error (os error 5)");
  EXPECT_EQ(readFile(tmp / "journal.jsonl"), line_for(FinalAudioDeleted{}, 0, 0));
  // Interrupted syncs are repeated.
  fake.sync_errno = 0;
  int calls = 0;
  auto services = fake.services();
  services.full_sync = [&calls](int) {
    if (++calls < 3) {
      errno = EINTR;
      return -1;
    }
    return 0;
  };
  auto retrying = JournalWriter::create(tmp.path(), 0, services);
  ASSERT_TRUE(retrying.ok());
  EXPECT_TRUE(retrying->append(FinalAudioDeleted{}).ok());
  EXPECT_EQ(calls, 3);
}

TEST(JournalWriter, EventWithTextThatIsNotUtf8WritesNothing) {
  TempDir tmp;
  auto writer = JournalWriter::create(tmp.path(), 0);
  ASSERT_TRUE(writer.ok());
  const auto r = writer->append(CandidateRejected{"\xFF"});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), IoError::Kind::InvalidData);
  EXPECT_EQ(readFile(tmp / "journal.jsonl"), "");
}

TEST(JournalWriter, CreateFailures) {
  TempDir tmp;
  writeFile(tmp / "plain", "x");
  auto under_file = JournalWriter::create(tmp / "plain" / "session", 0);
  ASSERT_FALSE(under_file.ok());
  EXPECT_EQ(under_file.error().to_string(), "Not a directory (os error 20)");
  auto on_file = JournalWriter::create(tmp / "plain", 0);
  ASSERT_FALSE(on_file.ok());
  EXPECT_EQ(on_file.error().to_string(), "File exists (os error 17)");
  auto nul = JournalWriter::create(std::string("bad\0dir", 7), 0);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().to_string(), "file name contained an unexpected NUL byte");
  // A FIFO where the journal belongs fails at once instead of waiting for a reader.
  ASSERT_EQ(::mkfifo((tmp / "journal.jsonl").c_str(), 0600), 0);
  auto fifo = JournalWriter::create(tmp.path(), 0);
  ASSERT_FALSE(fifo.ok());
  EXPECT_EQ(fifo.error().to_string(), "No such device or address (os error 6)");
}

class JournalRead : public ::testing::Test {
 protected:
  std::string line(const JournalEvent& event) { return line_for(event, next_mono_, 1000); }
  const std::filesystem::path& path() {
    path_ = tmp_ / "journal.jsonl";
    return path_;
  }
  TempDir tmp_;
  std::filesystem::path path_;
  std::uint64_t next_mono_ = 1;
};

TEST_F(JournalRead, TornLastLineEndsTheReadingWithSuccess) {
  const std::string a = line(RecoveryStarted{}), b = line(PauseEpochEnded{3});
  writeFile(path(), a + b + R"({"schema_version":1,"monotonic_ms":5,"wall_utc_ms":5,"type":"export_st)");
  const auto entries = read_journal(path());
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 2U);
  EXPECT_EQ((*entries)[1].event, JournalEvent(PauseEpochEnded{3}));
}

TEST_F(JournalRead, LinesThatCannotBeReadArePassedOverAndTheRestIsRead) {
  const std::string tag_beyond_64_bits =
      R"({"schema_version":1,"monotonic_ms":5,"wall_utc_ms":5,"type":18446744073709551616})"
      "\n";
  writeFile(path(), line(RecoveryStarted{}) + "not json at all\n" + tag_beyond_64_bits +
                        R"({"schema_version":1,"monotonic_ms":5,"wall_utc_ms":5,"type":"x","d":"â)" + "\n" +
                        line(UploadCompleted{}));
  const auto entries = read_journal(path());
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 2U);
  EXPECT_EQ((*entries)[0].event, JournalEvent(RecoveryStarted{}));
  EXPECT_EQ((*entries)[1].event, JournalEvent(UploadCompleted{}));
}

TEST_F(JournalRead, BlankLinesAndLineEndingsAreTolerated) {
  std::string a = line(RecoveryStarted{});
  a.insert(a.size() - 1, "\r");  // CRLF
  std::string b = line(UploadCompleted{});
  b.pop_back();  // a last line without its line feed
  writeFile(path(), "\n   \n\t\r\n" + a + "\xE3\x80\x80\xC2\xA0\n\n" + b);
  const auto entries = read_journal(path());
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 2U);
  EXPECT_EQ((*entries)[1].event, JournalEvent(UploadCompleted{}));
  writeFile(path(), "");
  EXPECT_TRUE(read_journal(path())->empty());
}

TEST_F(JournalRead, LastLineTornInsideACharacterEndsWhatWasWritten) {
  writeFile(path(),
            line(RecoveryStarted{}) + R"({"schema_version":1,"monotonic_ms":5,"wall_utc_ms":5,"type":"x)" + "\xE2\x82");
  const auto entries = read_journal(path());
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 1U);
  EXPECT_EQ((*entries)[0].event, JournalEvent(RecoveryStarted{}));
}

TEST_F(JournalRead, MissingOrNonRegularJournalIsAnError) {
  const auto missing = read_journal(path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
  // A FIFO with no writer would block a plain open; it is refused at once.
  ASSERT_EQ(::mkfifo(path().c_str(), 0600), 0);
  const auto fifo = read_journal(path());
  ASSERT_FALSE(fifo.ok());
  EXPECT_EQ(fifo.error().to_string(), "not a regular file: " + path().string());
  EXPECT_FALSE(session_echo_risk_from_journal(tmp_.path()));
}

TEST_F(JournalRead, OverlongLineIsPassedOver) {
  const std::string before = line(RecoveryStarted{});
  // A valid line made longer than the cap by blanks.
  std::string huge = line(OutputDeviceDetected{DeviceClass::BuiltInSpeakers, true});
  huge.insert(0, kMaxJournalLineBytes, ' ');
  writeFile(path(), before + huge + line(UploadCompleted{}));
  const auto entries = read_journal(path());
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 2U);
  EXPECT_EQ((*entries)[1].event, JournalEvent(UploadCompleted{}));
  EXPECT_FALSE(session_echo_risk_from_journal(tmp_.path()));
  writeFile(path(), huge + line(OutputDeviceDetected{DeviceClass::BuiltInSpeakers, true}));
  EXPECT_TRUE(session_echo_risk_from_journal(tmp_.path()));
  // At the cap exactly it still reads.
  std::string at_cap = line(UploadCompleted{});
  at_cap.insert(0, kMaxJournalLineBytes - (at_cap.size() - 1), ' ');
  writeFile(path(), before + at_cap);
  EXPECT_EQ(read_journal(path())->size(), 2U);
}

class EchoRisk : public JournalRead {
 protected:
  bool risk_of(const std::string& text) {
    writeFile(path(), text);
    return session_echo_risk_from_journal(tmp_.path());
  }
};

TEST_F(EchoRisk, AnyRiskyOutputCounts) {
  const std::string safe = line(OutputDeviceDetected{DeviceClass::HeadphoneJack, false});
  const std::string risky_change = line(OutputDeviceChanged{DeviceClass::BuiltInSpeakers, true});
  const std::string safe_change = line(OutputDeviceChanged{DeviceClass::HeadphoneJack, false});
  EXPECT_FALSE(risk_of(safe + safe_change));
  EXPECT_TRUE(risk_of(safe + risky_change));
  EXPECT_TRUE(risk_of(risky_change + safe_change));  // a later safe device does not withdraw it
  EXPECT_TRUE(risk_of(line(OutputDeviceDetected{DeviceClass::BuiltInSpeakers, true})));
  EXPECT_FALSE(risk_of(line(DeviceChanged{"mic", std::nullopt, DeviceClass::BuiltInSpeakers})));
}

TEST_F(EchoRisk, NoBadLineHidesTheRisk) {
  const std::string risky = line(OutputDeviceChanged{DeviceClass::BuiltInSpeakers, true});
  EXPECT_TRUE(risk_of(risky + R"({"schema_version":1,"monotonic_ms":5,"wal)"));  // torn tail
  EXPECT_TRUE(risk_of("garbage\n" + risky));
  EXPECT_TRUE(risk_of(risky + "\xFF\n"));
  EXPECT_TRUE(risk_of(risky + "{\"type\":\"x\",\"device\":\"Caf\xC3"));    // torn inside a character
  EXPECT_TRUE(risk_of("{\"type\":\"x\",\"device\":\"Caf\xC3\n" + risky));  // and closed by a later append
  std::filesystem::remove(path());
  EXPECT_FALSE(session_echo_risk_from_journal(tmp_.path()));
}

TEST_F(EchoRisk, AnOutputOfAClassThisReaderDoesNotKnowOrWithARepeatedKeyStillCounts) {
  const std::string head = R"({"schema_version":1,"monotonic_ms":5,"wall_utc_ms":1000,)";
  EXPECT_TRUE(risk_of(head + R"("type":"output_device_detected","device_class":"airplay_output","echo_risk":true})"
                             "\n"));
  EXPECT_TRUE(risk_of(head + R"("type":"output_device_detected","device_class":"headphones","echo_risk":true})"
                             "\n"));
  EXPECT_TRUE(risk_of(head + R"("type":"output_device_detected","device_class":"built_in_speakers",)"
                             R"("device_class":"built_in_speakers","echo_risk":true})"
                             "\n"));
  EXPECT_TRUE(risk_of(head + R"("type":"output_device_changed","device_class":"car_play","echo_risk_after":true})"
                             "\n"));
  // The flag itself must say so.
  EXPECT_FALSE(risk_of(head + R"("type":"output_device_detected","device_class":"headphones","echo_risk":false})"
                              "\n"));
  EXPECT_FALSE(risk_of(head + R"("type":"output_device_changed","device_class":"headphones","echo_risk":true})"
                              "\n"));
}

TEST_F(JournalRead, TheRecordingSpansItsLinesBeforeTheFirstFinalisation) {
  const auto at = [](std::int64_t wall, const JournalEvent& event) {
    JournalEntry entry;
    entry.schema_version = 1;
    entry.wall_utc_ms = wall;
    entry.event = event;
    return *format_entry(entry);
  };
  writeFile(path(), at(1000, RecoveryStarted{}));
  EXPECT_EQ(journal_recording_span_ms(tmp_.path()), std::nullopt);  // one line spans nothing
  writeFile(path(), at(1000, RecoveryStarted{}) + at(7000, UploadCompleted{}) +
                        at(9000, ExportStarted{ExportMethod::FallbackCaf}) + at(90000, UploadCompleted{}));
  EXPECT_EQ(journal_recording_span_ms(tmp_.path()), 6000U);
}

TEST_F(EchoRisk, AJournalThatIsALinkIsNotTheSessionsOwn) {
  const auto outside = tmp_ / "elsewhere.jsonl";
  writeFile(outside, line(OutputDeviceDetected{DeviceClass::BuiltInSpeakers, true}));
  std::filesystem::create_symlink(outside, path());
  EXPECT_EQ(journal_left_out(tmp_.path()), std::optional<std::string>("a symbolic link"));
  EXPECT_FALSE(session_echo_risk_from_journal(tmp_.path()));
}

}  // namespace
}  // namespace recorder::journal
