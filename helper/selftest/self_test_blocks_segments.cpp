// Self-test groups 8-10: a segment file on disk, a second open with and
// without data, and the checkpoint sidecar and final seal.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "helper/core/segments/caf_segment.h"
#include "helper/core/segments/segment_writer.h"
#include "helper/selftest/segment_writer_test_access.h"
#include "helper/selftest/self_test_suite.h"

namespace helper {
namespace {

namespace fs = std::filesystem;

std::optional<int64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in `dir` that are not directories, comma-separated.
std::string nonDirectoryEntries(const std::string& dir) {
  std::string found;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) continue;
    found += (found.empty() ? "" : ", ") + it->path().filename().string();
  }
  return found;
}

bool hasEvent(const std::vector<Event>& events, const std::string& type, const char* key, const nlohmann::json& v) {
  for (const auto& e : events) {
    if (hasText(e, "type", type) && e.contains(key) && e[key] == v) return true;
  }
  return false;
}

bool hasWarning(const std::vector<Event>& events, const std::string& code) {
  return hasEvent(events, "warning", "code", code);
}

bool hasSegmentClosed(const std::vector<Event>& events, int64_t index, int64_t frames) {
  for (const auto& e : events) {
    if (hasText(e, "type", "segment_closed") && hasWhole(e, "index", index) && hasWhole(e, "frames", frames)) {
      return true;
    }
  }
  return false;
}

const std::vector<float> kFourSamples = {0.0f, 0.5f, -0.5f, 1.0f};

void checkSegmentFile(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  writeSelfTestSamples(*writer, kFourSamples);
  const auto sealed = writer->sealFinal();
  const std::string expectedPath = dir + "/mic/000001.caf";
  const bool hasUrl = sealed && !sealed->segmentPath.empty();
  ctx.check("segment_path_canonical", hasUrl && sealed->segmentPath == expectedPath,
            hasUrl ? "got " + sealed->segmentPath : "got nil");

  const auto size = fileSize(expectedPath);
  ctx.check("segment_file_size", size == 76, size ? "expected 76, got " + std::to_string(*size) : "file not found");

  const std::string bytes = readBytes(expectedPath);
  std::string expectedPcm;
  for (const int16_t v : {0, 16383, -16383, 32767}) {
    const auto bits = static_cast<uint16_t>(v);
    expectedPcm += {static_cast<char>(bits & 0xFF), static_cast<char>(bits >> 8)};
  }
  ctx.check("segment_pcm_content", bytes.size() >= 76 && bytes.substr(68, 8) == expectedPcm,
            "PCM bytes don't match expected Int16 LE values");

  const std::string stray = nonDirectoryEntries(dir);
  ctx.check("no_files_in_session_root", stray.empty(), "found: " + stray);
}

void checkDoubleOpenWithoutData(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  const auto events = SegmentWriterTestAccess::open(*writer);
  const std::string first = dir + "/mic/000001.caf";
  ctx.check("segment_double_open_removes_empty_previous_file", !fs::exists(first),
            "first empty segment still exists at " + first);
  const bool warned = hasWarning(events, "writer_reopened_empty_segment");
  const bool openedSecond = hasEvent(events, "segment_opened", "index", 2);
  ctx.check("segment_double_open_warns_and_opens_next_index", warned && openedSecond,
            "warned=" + flagText(warned) + ", openedSecond=" + flagText(openedSecond));
  writer->sealFinal();
}

void checkDoubleOpenAfterData(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  writeSelfTestSamples(*writer, kFourSamples);
  const auto events = SegmentWriterTestAccess::open(*writer);
  const bool warned = hasWarning(events, "writer_reopened_active_segment");
  const bool closedFirst = hasSegmentClosed(events, 1, 4);
  const bool firstExists = fs::exists(dir + "/mic/000001.caf");
  const bool checkpointExists = fs::exists(dir + "/mic/000001.checkpoint");
  ctx.check("segment_double_open_preserves_nonempty_previous_file",
            warned && closedFirst && firstExists && checkpointExists,
            "warned=" + flagText(warned) + ", closedFirst=" + flagText(closedFirst) +
                ", firstExists=" + flagText(firstExists) + ", checkpointExists=" + flagText(checkpointExists));
  const bool openedSecond = hasEvent(events, "segment_opened", "index", 2);
  ctx.check("segment_double_open_after_data_opens_next_index", openedSecond, "openedSecond=" + flagText(openedSecond));
  writer->sealFinal();
}

void writeZeroFrames(SegmentWriter& writer, int64_t total) {
  const auto full = makeSelfTestBuffer(std::vector<float>(1024, 0.0f));
  if (!full) return;
  for (int64_t written = 0; written < total;) {
    const int64_t n = std::min<int64_t>(1024, total - written);
    full->setFrameLength(static_cast<uint32_t>(n));
    SegmentWriterTestAccess::write(writer, *full);
    written += n;
  }
}

void checkCheckpointSidecar(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  writeZeroFrames(*writer, 130000);
  const std::string checkpoint = dir + "/mic/000001.checkpoint";
  ctx.check("checkpoint_exists_after_120k_frames", fs::exists(checkpoint));
  ctx.check("checkpoint_tmp_not_left_behind", !fs::exists(checkpoint + ".tmp"));

  const auto sidecar = nlohmann::json::parse(readBytes(checkpoint), nullptr, false);
  if (!sidecar.is_object()) {
    ctx.failAll({"checkpoint_frames_gte_120000", "checkpoint_byte_offset_consistent"},
                "could not parse checkpoint JSON");
  } else {
    const int64_t f = wholeField(sidecar, "frames_written").value_or(0);
    const int64_t b = wholeField(sidecar, "byte_offset").value_or(0);
    ctx.check("checkpoint_frames_gte_120000", f >= 120000 && f <= 121024, "got " + std::to_string(f));
    ctx.check("checkpoint_byte_offset_consistent", b == 68 + 2 * f,
              "expected " + std::to_string(68 + 2 * f) + ", got " + std::to_string(b));
  }
  writer->sealFinal();
}

void checkSealTwice(const SelfTestContext& ctx, const std::string& dir) {
  auto writer = makeSelfTestWriter(dir);
  SegmentWriterTestAccess::open(*writer);
  writeZeroFrames(*writer, 1024);
  ctx.check("seal_final_first_call_produces_data", writer->sealFinal().has_value());
  ctx.check("seal_final_second_call_is_noop", !writer->sealFinal().has_value(), "second call produced data");
}

}  // namespace

void runSegmentFileGroup(const SelfTestContext& ctx) {
  const GroupScratchDir dir(ctx, "self-test-");
  if (!dir.path()) {
    ctx.failAll({"segment_path_canonical", "segment_file_size", "segment_pcm_content", "no_files_in_session_root"},
                kNoScratchDirectoryReason);
    return;
  }
  checkSegmentFile(ctx, *dir.path());
}

void runDoubleOpenGroup(const SelfTestContext& ctx) {
  {
    const GroupScratchDir dir(ctx, "self-test-double-open-");
    if (dir.path()) {
      checkDoubleOpenWithoutData(ctx, *dir.path());
    } else {
      ctx.failAll({"segment_double_open_removes_empty_previous_file", "segment_double_open_warns_and_opens_next_index"},
                  kNoScratchDirectoryReason);
    }
  }
  const GroupScratchDir dir(ctx, "self-test-double-open-data-");
  if (dir.path()) {
    checkDoubleOpenAfterData(ctx, *dir.path());
  } else {
    ctx.failAll(
        {"segment_double_open_preserves_nonempty_previous_file", "segment_double_open_after_data_opens_next_index"},
        kNoScratchDirectoryReason);
  }
}

void runCheckpointAndSealGroup(const SelfTestContext& ctx) {
  {
    const GroupScratchDir dir(ctx, "self-test-cp-");
    if (dir.path()) {
      checkCheckpointSidecar(ctx, *dir.path());
    } else {
      ctx.failAll({"checkpoint_exists_after_120k_frames", "checkpoint_tmp_not_left_behind",
                   "checkpoint_frames_gte_120000", "checkpoint_byte_offset_consistent"},
                  kNoScratchDirectoryReason);
    }
  }
  const GroupScratchDir dir(ctx, "self-test-seal-");
  if (dir.path()) {
    checkSealTwice(ctx, *dir.path());
  } else {
    ctx.failAll({"seal_final_first_call_produces_data", "seal_final_second_call_is_noop"}, kNoScratchDirectoryReason);
  }
}

}  // namespace helper
