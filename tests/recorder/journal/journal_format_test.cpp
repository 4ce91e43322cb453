#include "recorder/journal/journal_format.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/recorder/journal/sample_events.h"

namespace recorder::journal {
namespace {

JournalEntry entry_of(JournalEvent event, std::uint64_t mono = 1234, std::int64_t wall = 6234) {
  return JournalEntry{1, mono, wall, std::move(event)};
}

std::string line_of(const JournalEvent& event) {
  auto line = format_entry(entry_of(event));
  EXPECT_TRUE(line.has_value());
  return line.value_or("");
}

const std::string kEnvelope = R"({"schema_version":1,"monotonic_ms":1234,"wall_utc_ms":6234,)";

std::optional<JournalEntry> parse(const std::string& line) { return parse_entry_line(line); }

TEST(JournalFormat, EveryKindRoundTrips) {
  const auto events = one_of_each_kind();
  std::set<std::size_t> positions;
  for (const auto& event : events) positions.insert(event.index());
  ASSERT_EQ(positions.size(), kJournalEventKindCount);

  for (const auto& event : events) {
    const JournalEntry entry = entry_of(event, 77, -5);
    const auto line = format_entry(entry);
    ASSERT_TRUE(line.has_value()) << event_tag(event);
    ASSERT_EQ(line->back(), '\n');
    std::string why;
    const auto back = parse_entry_line(std::string_view(*line).substr(0, line->size() - 1), &why);
    ASSERT_TRUE(back.has_value()) << *line << " " << why;
    EXPECT_EQ(*back, entry) << *line;
    // The tag is the kind's.
    EXPECT_NE(line->find("\"type\":\"" + std::string(event_tag(event)) + "\""), std::string::npos);
  }
}

TEST(JournalFormat, OptionalFieldsRoundTripBothWays) {
  for (const JournalEvent& event : std::vector<JournalEvent>{
           HelperExited{}, HelperExited{0}, SourceStarted{"mic", std::nullopt, std::nullopt},
           SourceStarted{"mic", DeviceClass::Unknown, std::nullopt}, SourceHealth{"mic", "ok", std::nullopt},
           SourceHealth{"mic", "ok", 18446744073709551615ULL},
           DeviceChanged{"system", std::nullopt, DeviceClass::UsbOutput},
           SourceFailed{"mic", FailureReason::unknown("weird \"one\""), false}}) {
    const auto line = line_of(event);
    const auto back = parse(line.substr(0, line.size() - 1));
    ASSERT_TRUE(back.has_value()) << line;
    EXPECT_EQ(back->event, event) << line;
  }
}

TEST(JournalFormat, LinesHaveTheExactLayout) {
  EXPECT_EQ(line_of(ExportStarted{ExportMethod::FallbackCaf}),
            kEnvelope + R"("type":"export_started","method":"fallback_caf"})" + "\n");
  EXPECT_EQ(line_of(SegmentClosed{"mic", 3, 720000, 30000, 1440068}),
            kEnvelope + R"("type":"segment_closed","source":"mic","index":3,"frames":720000,"duration_ms":30000,)" +
                R"("bytes":1440068})" + "\n");
  EXPECT_EQ(line_of(SourceHealth{"mic", "ok", std::nullopt}),
            kEnvelope + R"("type":"source_health","source":"mic","status":"ok"})" + "\n");
  EXPECT_EQ(line_of(SourceHealth{"mic", "ok", 0}),
            kEnvelope + R"("type":"source_health","source":"mic","status":"ok","duration_ms":0})" + "\n");
  EXPECT_EQ(line_of(HelperExited{}), kEnvelope + R"("type":"helper_exited","code":null})" + "\n");
  EXPECT_EQ(line_of(HelperExited{-3}), kEnvelope + R"("type":"helper_exited","code":-3})" + "\n");
  EXPECT_EQ(line_of(SourceStarted{"system", std::nullopt, std::nullopt}),
            kEnvelope + R"("type":"source_started","source":"system","device_class":null,"sample_rate":null})" + "\n");
  EXPECT_EQ(
      line_of(SourceFailed{"mic", FailureReason::unknown("odd"), true}),
      kEnvelope + R"("type":"source_failed","source":"mic","reason":{"unknown":"odd"},"recoverable":true})" + "\n");
  EXPECT_EQ(
      line_of(SourceFailed{"mic", FailureReason::named(FailureReason::Kind::PermissionDenied), false}),
      kEnvelope + R"("type":"source_failed","source":"mic","reason":"permission_denied","recoverable":false})" + "\n");
  EXPECT_EQ(line_of(PhaseChanged{SessionPhase::UploadReady, SessionPhase::Uploading}),
            kEnvelope + R"("type":"phase_changed","from":"upload_ready","to":"uploading"})" + "\n");
  EXPECT_EQ(line_of(PauseEpochEnded{4}), kEnvelope + R"("type":"pause_epoch_ended","epoch":4})" + "\n");
  EXPECT_EQ(line_of(DiskLowWarning{9}), kEnvelope + R"("type":"disk_low_warning","free_bytes":9})" + "\n");
  EXPECT_EQ(line_of(DiskPreflightFailed{9, 8}),
            kEnvelope + R"("type":"disk_preflight_failed","free_bytes":9,"estimated_bytes":8})" + "\n");
  EXPECT_EQ(line_of(CandidateValidationStarted{}), kEnvelope + R"("type":"candidate_validation_started"})" + "\n");
  EXPECT_EQ(line_of(Unknown{}), kEnvelope + R"("type":"unknown"})" + "\n");
  EXPECT_EQ(format_entry(JournalEntry{1, 0, -9223372036854775807 - 1, RecoveryStarted{}}),
            R"({"schema_version":1,"monotonic_ms":0,"wall_utc_ms":-9223372036854775808,"type":"recovery_started"})"
            "\n");
}

TEST(JournalFormat, TextsAreEscapedExactly) {
  const std::string text = std::string("q\"b\\s/\b\t\n\f\r") + '\0' + "\x01\x1f\x7f" + "\xC3\xA9\xE2\x82\xAC";
  const auto line = line_of(CleanupFailed{text});
  EXPECT_EQ(line, kEnvelope + R"("type":"cleanup_failed","reason":"q\"b\\s/\b\t\n\f\r\u0000\u0001\u001f)" +
                      "\x7f\xC3\xA9\xE2\x82\xAC\"}\n");
  const auto back = parse(line.substr(0, line.size() - 1));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(std::get<CleanupFailed>(back->event).reason, text);
}

TEST(JournalFormat, TextThatIsNotUtf8CannotBeFormatted) {
  EXPECT_FALSE(format_entry(entry_of(CleanupFailed{"\xC3"})).has_value());
  std::string out = "keep";
  EXPECT_FALSE(append_entry_line(out, entry_of(SessionCreated{"\xED\xA0\x80", true, true})));
  EXPECT_EQ(out, "keep");
}

const std::string kHead = R"({"schema_version":1,"monotonic_ms":2,"wall_utc_ms":3,)";

TEST(JournalParse, UnknownTagsReadAsUnknownAndDropTheirKeys) {
  for (const std::string tag : {R"("mystery")", R"("unknown")", R"("Session_created")", R"("SEGMENT_CLOSED")", "46",
                                "1000", "18446744073709551615"}) {
    const auto entry = parse(kHead + R"("type":)" + tag + R"(,"x":{"y":[1,2]},"source":5})");
    ASSERT_TRUE(entry.has_value()) << tag;
    EXPECT_EQ(*entry, (JournalEntry{1, 2, 3, Unknown{}})) << tag;
    EXPECT_EQ(format_entry(*entry), R"({"schema_version":1,"monotonic_ms":2,"wall_utc_ms":3,"type":"unknown"})"
                                    "\n");
  }
}

TEST(JournalParse, NumericTagsSelectByPosition) {
  const auto entry = parse(kHead + R"("type":14,"source":"mic","index":1,"frames":2,"duration_ms":3,"bytes":4})");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->event, JournalEvent(SegmentClosed{"mic", 1, 2, 3, 4}));
  EXPECT_EQ(parse(kHead + R"("type":0,"session_id":"a","mic_requested":true,"system_requested":false})")->event,
            JournalEvent(SessionCreated{"a", true, false}));
  for (const std::string tag : {"-1", "14.0", "1e1", "true", "null", "[14]", R"({"a":1})"}) {
    EXPECT_FALSE(parse(kHead + R"("type":)" + tag + "}").has_value()) << tag;
  }
}

TEST(JournalParse, KeyOrderIsFree) {
  const auto entry = parse(R"({"bytes":4,"duration_ms":3,"frames":2,"index":1,"source":"mic","type":"segment_closed",)"
                           R"("wall_utc_ms":3,"monotonic_ms":2,"schema_version":1})");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(*entry, (JournalEntry{1, 2, 3, SegmentClosed{"mic", 1, 2, 3, 4}}));
}

TEST(JournalParse, EnvelopeRules) {
  const std::string tail = R"("type":"upload_completed"})";
  EXPECT_FALSE(parse(R"({"monotonic_ms":2,"wall_utc_ms":3,)" + tail).has_value());
  EXPECT_FALSE(parse(R"({"schema_version":1,"wall_utc_ms":3,)" + tail).has_value());
  EXPECT_FALSE(parse(R"({"schema_version":1,"monotonic_ms":2,)" + tail).has_value());
  EXPECT_FALSE(parse(R"({"schema_version":1,"schema_version":1,"monotonic_ms":2,"wall_utc_ms":3,)" + tail).has_value());
  EXPECT_FALSE(parse(R"({"schema_version":1,"monotonic_ms":2,"monotonic_ms":2,"wall_utc_ms":3,)" + tail).has_value());
  EXPECT_EQ(parse(R"({"schema_version":7,"monotonic_ms":2,"wall_utc_ms":3,)" + tail)->schema_version, 7U);
  EXPECT_EQ(parse(R"({"schema_version":1,"monotonic_ms":2,"wall_utc_ms":-5,)" + tail)->wall_utc_ms, -5);
  EXPECT_FALSE(parse(R"({"schema_version":1,"monotonic_ms":-5,"wall_utc_ms":3,)" + tail).has_value());

  const auto with = [&](const std::string& sv, const std::string& mono, const std::string& wall) {
    return parse(R"({"schema_version":)" + sv + R"(,"monotonic_ms":)" + mono + R"(,"wall_utc_ms":)" + wall + "," +
                 tail);
  };
  EXPECT_TRUE(with("4294967295", "18446744073709551615", "-9223372036854775808").has_value());
  EXPECT_TRUE(with("0", "0", "9223372036854775807").has_value());
  EXPECT_FALSE(with("4294967296", "0", "0").has_value());
  EXPECT_FALSE(with("1", "18446744073709551616", "0").has_value());
  EXPECT_FALSE(with("1", "0", "-9223372036854775809").has_value());
  EXPECT_FALSE(with("1", "0", "9223372036854775808").has_value());
  EXPECT_FALSE(with("1.0", "0", "0").has_value());
  EXPECT_FALSE(with("1", "1e3", "0").has_value());
  EXPECT_FALSE(with("\"1\"", "0", "0").has_value());
  EXPECT_FALSE(with("null", "0", "0").has_value());
  EXPECT_FALSE(parse(kHead + R"("type":"upload_completed","type":"upload_completed"})").has_value());
  EXPECT_FALSE(parse(kHead + R"("kind":"upload_completed"})").has_value());
}

TEST(JournalParse, FieldRules) {
  const std::string sc = kHead + R"("type":"segment_closed","source":"mic","index":1,"frames":2,"duration_ms":3,)";
  EXPECT_TRUE(parse(sc + R"("bytes":4})").has_value());
  EXPECT_FALSE(parse(sc.substr(0, sc.size() - 1) + "}").has_value());  // no bytes
  EXPECT_FALSE(parse(sc + R"("bytes":-1})").has_value());
  EXPECT_FALSE(parse(sc + R"("bytes":1.0})").has_value());
  EXPECT_FALSE(parse(sc + R"("bytes":4e0})").has_value());
  EXPECT_FALSE(parse(sc + R"("bytes":"4"})").has_value());
  EXPECT_FALSE(parse(sc + R"("bytes":null})").has_value());
  EXPECT_FALSE(parse(sc + R"("bytes":4,"bytes":4})").has_value());
  // Keys that are no field of the kind are ignored, repeated or not, whatever their value.
  const auto extra = parse(sc + R"("bytes":4,"extra":[{"a":1,"a":2}],"extra":null})");
  ASSERT_TRUE(extra.has_value());
  EXPECT_EQ(extra->event, JournalEvent(SegmentClosed{"mic", 1, 2, 3, 4}));
  // Fields of kinds without fields are ignored too.
  EXPECT_TRUE(parse(kHead + R"("type":"upload_completed","reason":7})").has_value());

  const std::string hs = kHead + R"("type":"helper_started","pid":)";
  EXPECT_EQ(std::get<HelperStarted>(parse(hs + "4294967295}")->event).pid, 4294967295U);
  EXPECT_FALSE(parse(hs + "4294967296}").has_value());
  EXPECT_FALSE(parse(hs + "-1}").has_value());
  const std::string he = kHead + R"("type":"helper_exited")";
  EXPECT_EQ(parse(he + "}")->event, JournalEvent(HelperExited{}));
  EXPECT_EQ(parse(he + R"(,"code":null})")->event, JournalEvent(HelperExited{}));
  EXPECT_EQ(parse(he + R"(,"code":-2147483648})")->event, JournalEvent(HelperExited{-2147483647 - 1}));
  EXPECT_FALSE(parse(he + R"(,"code":2147483648})").has_value());
  EXPECT_FALSE(parse(he + R"(,"code":-2147483649})").has_value());
  EXPECT_FALSE(parse(he + R"(,"code":null,"code":null})").has_value());
  EXPECT_FALSE(parse(kHead + R"("type":"session_created","session_id":"a","mic_requested":1,)"
                             R"("system_requested":false})")
                   .has_value());
  EXPECT_FALSE(parse(kHead + R"("type":"source_recovered","source":null})").has_value());
}

TEST(JournalParse, EnumerationForms) {
  const std::string pc = kHead + R"("type":"phase_changed","from":"idle","to":)";
  EXPECT_EQ(std::get<PhaseChanged>(parse(pc + R"({"recording":null}})")->event).to, SessionPhase::Recording);
  EXPECT_EQ(std::get<PhaseChanged>(parse(pc + R"("failed_terminal"})")->event).to, SessionPhase::FailedTerminal);
  for (const std::string bad : {R"("Recording")", R"("bogus")", "2", R"({"recording":1})", R"({"recording":{}})",
                                R"({"recording":null,"idle":null})", R"({"recording":null,"recording":null})", R"({})",
                                R"(["recording"])", "null", "true"}) {
    EXPECT_FALSE(parse(pc + bad + "}").has_value()) << bad;
  }

  const std::string sf = kHead + R"("type":"source_failed","source":"mic","recoverable":false,"reason":)";
  EXPECT_FALSE(parse(sf + R"("unknown"})").has_value());
  EXPECT_FALSE(parse(sf + R"({"unknown":null}})").has_value());
  EXPECT_FALSE(parse(sf + R"({"unknown":"a","x":null}})").has_value());
  EXPECT_FALSE(parse(sf + R"({"device_lost":"text"}})").has_value());
  EXPECT_EQ(std::get<SourceFailed>(parse(sf + R"({"device_lost":null}})")->event).reason,
            FailureReason::named(FailureReason::Kind::DeviceLost));
  const auto unknown = parse(sf + R"({"unknown":"dropped out"}})");
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(std::get<SourceFailed>(unknown->event).reason, FailureReason::unknown("dropped out"));
  EXPECT_NE(format_entry(*unknown)->find(R"("reason":{"unknown":"dropped out"})"), std::string::npos);

  // For device classes the bare "unknown" is an ordinary value.
  const std::string od = kHead + R"("type":"output_device_detected","echo_risk":true,"device_class":)";
  EXPECT_EQ(std::get<OutputDeviceDetected>(parse(od + R"("unknown"})")->event).device_class, DeviceClass::Unknown);
  EXPECT_EQ(std::get<OutputDeviceDetected>(parse(od + R"({"unknown":null}})")->event).device_class,
            DeviceClass::Unknown);
  EXPECT_FALSE(parse(od + R"("speaker"})").has_value());
  EXPECT_FALSE(parse(od + "null}").has_value());
  EXPECT_EQ(parse(kHead + R"("type":"export_failed","method":{"live_candidate":null},"reason":"r"})")->event,
            JournalEvent(ExportFailed{ExportMethod::LiveCandidate, "r"}));
}

TEST(JournalParse, SurroundingsOfTheObject) {
  const std::string line = kHead + R"("type":"recovery_started"})";
  EXPECT_TRUE(parse(line + "   ").has_value());
  EXPECT_TRUE(parse(line + "\r").has_value());
  EXPECT_TRUE(parse(" \t" + line + " \t\r").has_value());
  EXPECT_FALSE(parse(line + ",x").has_value());
  EXPECT_FALSE(parse(line + line).has_value());
  EXPECT_FALSE(parse(line + "\xC2\xA0").has_value());  // no-break space is no JSON blank
  EXPECT_FALSE(parse("\xEF\xBB\xBF" + line).has_value());
  EXPECT_FALSE(parse("").has_value());
  EXPECT_FALSE(parse("[" + line + "]").has_value());
  EXPECT_FALSE(parse("5").has_value());
  EXPECT_FALSE(parse(line.substr(0, line.size() - 1)).has_value());
  EXPECT_FALSE(parse(kHead + R"("type":"cleanup_failed","reason":"a\qb"})").has_value());
  EXPECT_FALSE(parse(kHead + R"("type":"cleanup_failed","reason":"\ud800"})").has_value());
  EXPECT_FALSE(parse(kHead + "\"type\":\"cleanup_failed\",\"reason\":\"a\tb\"}").has_value());
  EXPECT_EQ(
      std::get<CleanupFailed>(parse(kHead + R"("type":"cleanup_failed","reason":"\ud83d\ude00\u00e9"})")->event).reason,
      "\xF0\x9F\x98\x80\xC3\xA9");
}

TEST(JournalParse, NestingLimit) {
  // The line's object is the first level; 127 levels pass, 128 do not.
  const auto nested = [](int levels) {
    const int inner = levels - 1;
    return kHead + R"("type":"recovery_started","deep":)" + std::string(inner, '[') + std::string(inner, ']') + "}";
  };
  EXPECT_TRUE(parse(nested(127)).has_value());
  EXPECT_FALSE(parse(nested(128)).has_value());
  EXPECT_FALSE(parse(nested(100000)).has_value());
}

}  // namespace
}  // namespace recorder::journal
