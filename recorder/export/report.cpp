#include "recorder/export/report.h"

#include <nlohmann/json.hpp>

namespace recorder::exporter {

IoResult<std::string> write_export_report(const ExportReport& report) {
  using nlohmann::ordered_json;
  ordered_json j;
  j["schema_version"] = report.schema_version;
  j["session_id"] = report.session_id;
  j["method"] = std::string(journal::to_string(report.method));
  j["candidate_attempted"] = report.candidate_attempted;
  j["candidate_rejected_reason"] =
      report.candidate_rejected_reason ? ordered_json(*report.candidate_rejected_reason) : ordered_json(nullptr);
  j["output_path"] = report.output_path;
  j["duration_ms"] = report.duration_ms;
  j["bytes"] = report.bytes;
  j["sha256"] = report.sha256;
  j["sample_rate"] = report.sample_rate;
  j["channels"] = report.channels;
  j["bitrate"] = report.bitrate;
  ordered_json validation;
  validation["decoded_end_to_end"] = report.validation.decoded_end_to_end;
  validation["duration_delta_ms"] = report.validation.duration_delta_ms;
  j["validation"] = std::move(validation);
  if (!report.warnings.empty()) j["warnings"] = report.warnings;
  if (report.aec) {
    ordered_json aec;
    aec["requested"] = report.aec->requested;
    aec["applied"] = report.aec->applied;
    if (report.aec->fallback_reason) aec["fallback_reason"] = *report.aec->fallback_reason;
    // The serialiser writes a NaN or infinite value as null.
    if (report.aec->erle_db) aec["erle_db"] = *report.aec->erle_db;
    if (report.aec->delay_ms) aec["delay_ms"] = *report.aec->delay_ms;
    j["aec"] = std::move(aec);
  }
  try {
    // Texts are UTF-8; a stray invalid byte is replaced rather than failing the finalisation.
    return j.dump(2, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception& e) {
    return IoError::invalid_data(std::string("export report: ") + e.what());
  }
}

}  // namespace recorder::exporter
