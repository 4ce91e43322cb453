#include "recorder/export/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

ExportReport rebuilt_report() {
  ExportReport r;
  r.session_id = "s1";
  r.duration_ms = 3008;
  r.bytes = 19535;
  r.sha256 = std::string(64, 'a');
  r.validation = {true, -1200};
  return r;
}

TEST(ExportReport, RebuildWithoutWarningsHasThirteenMembersInOrder) {
  const auto text = write_export_report(rebuilt_report());
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text,
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"session_id\": \"s1\",\n"
            "  \"method\": \"fallback_caf\",\n"
            "  \"candidate_attempted\": false,\n"
            "  \"candidate_rejected_reason\": null,\n"
            "  \"output_path\": \"final/upload.m4a\",\n"
            "  \"duration_ms\": 3008,\n"
            "  \"bytes\": 19535,\n"
            "  \"sha256\": \"" +
                std::string(64, 'a') +
                "\",\n"
                "  \"sample_rate\": 24000,\n"
                "  \"channels\": 1,\n"
                "  \"bitrate\": 48000,\n"
                "  \"validation\": {\n"
                "    \"decoded_end_to_end\": true,\n"
                "    \"duration_delta_ms\": -1200\n"
                "  }\n"
                "}");
}

TEST(ExportReport, WarningsAndEchoCancellationFollowTheValidation) {
  auto r = rebuilt_report();
  r.method = ExportMethod::LiveCandidate;
  r.candidate_attempted = true;
  r.candidate_rejected_reason = "pause_invalidated";
  r.warnings = {"a \"quoted\" back\\slash", "tab\there caf\xC3\xA9 \x01"};
  r.aec = ExportReportAec{true, true, std::nullopt, 12.5, 120};
  const auto text = write_export_report(r);
  ASSERT_TRUE(text.ok());
  EXPECT_NE(text->find("  \"method\": \"live_candidate\",\n  \"candidate_attempted\": true,\n"
                       "  \"candidate_rejected_reason\": \"pause_invalidated\",\n"),
            std::string::npos);
  EXPECT_TRUE(
      text->ends_with("  },\n"
                      "  \"warnings\": [\n"
                      "    \"a \\\"quoted\\\" back\\\\slash\",\n"
                      "    \"tab\\there caf\xC3\xA9 \\u0001\"\n"
                      "  ],\n"
                      "  \"aec\": {\n"
                      "    \"requested\": true,\n"
                      "    \"applied\": true,\n"
                      "    \"erle_db\": 12.5,\n"
                      "    \"delay_ms\": 120\n"
                      "  }\n"
                      "}"))
      << *text;
}

TEST(ExportReport, EchoCancellationMembersOnlyWhenPresentAndNonFiniteAsNull) {
  auto r = rebuilt_report();
  r.aec = ExportReportAec{true, false, "missing_source_timeline", std::nullopt, std::nullopt};
  auto text = write_export_report(r);
  ASSERT_TRUE(text.ok());
  EXPECT_TRUE(
      text->ends_with("  \"aec\": {\n    \"requested\": true,\n    \"applied\": false,\n"
                      "    \"fallback_reason\": \"missing_source_timeline\"\n  }\n}"))
      << *text;
  r.aec = ExportReportAec{true, false, std::nullopt, std::numeric_limits<double>::quiet_NaN(), 0};
  text = write_export_report(r);
  ASSERT_TRUE(text.ok());
  EXPECT_TRUE(text->ends_with("    \"erle_db\": null,\n    \"delay_ms\": 0\n  }\n}")) << *text;
}

}  // namespace
}  // namespace recorder::exporter
