#pragma once
// final/export-report.json: the machine-readable account of one finalisation.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/journal/journal_event.h"
#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

using journal::ExportMethod;

struct ExportReportValidation {
  bool decoded_end_to_end = false;
  std::int64_t duration_delta_ms = 0;
  bool operator==(const ExportReportValidation&) const = default;
};

struct ExportReportAec {
  bool requested = true;
  bool applied = false;
  std::optional<std::string> fallback_reason;
  std::optional<double> erle_db;
  std::optional<std::uint64_t> delay_ms;
};

struct ExportReport {
  std::uint32_t schema_version = 1;
  std::string session_id;
  ExportMethod method = ExportMethod::FallbackCaf;
  bool candidate_attempted = false;
  std::optional<std::string> candidate_rejected_reason;
  std::string output_path = "final/upload.m4a";
  std::uint64_t duration_ms = 0;
  std::uint64_t bytes = 0;
  std::string sha256;
  std::uint32_t sample_rate = 24000;
  std::uint32_t channels = 1;
  std::uint32_t bitrate = 48000;
  ExportReportValidation validation;
  std::vector<std::string> warnings;
  std::optional<ExportReportAec> aec;
};

// One warning text: its lower snake-case code, a colon, a blank and the details.
inline std::string warning_text(std::string_view code, std::string_view details) {
  std::string text(code);
  text += ": ";
  text += details;
  return text;
}

// The report as pretty-printed JSON (two-space indent, members in their
// fixed order, no final line feed).
IoResult<std::string> write_export_report(const ExportReport& report);

}  // namespace recorder::exporter
