#include "recorder/recovery/plan.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "recorder/recovery/caf.h"
#include "recorder/recovery/file_io.h"
#include "recorder/recovery/numbers.h"
#include "recorder/recovery/sidecar.h"
#include "recorder/recovery/utf8.h"

namespace recorder::recovery {
namespace {

// The index a segment's stem names in the given source directory: the whole
// stem as a number, or "<source>.<number>".
std::optional<std::uint64_t> segment_index_from_stem(std::string_view stem, std::string_view source_dir) {
  if (auto v = parse_u64(stem)) return v;
  const auto dot = stem.find('.');
  if (dot == std::string_view::npos || stem.substr(0, dot) != source_dir) return std::nullopt;
  return parse_u64(stem.substr(dot + 1));
}

// frames / rate x 1000 in doubles, truncated; NaN and negatives give 0,
// values beyond the type the largest value.
std::uint64_t duration_ms_of(std::uint64_t frames, std::uint32_t rate) {
  const double ms = static_cast<double>(frames) / static_cast<double>(rate) * 1000.0;
  if (!(ms > 0.0)) return 0;
  if (ms >= 18446744073709551616.0) return kU64Max;
  return static_cast<std::uint64_t>(ms);
}

// What recovery takes from the sidecar, or why it takes nothing.
struct SidecarRead {
  std::optional<CheckpointSidecar> sidecar;
  bool unparseable = false;
};

SidecarRead read_sidecar(const std::filesystem::path& sidecar_path) {
  // Anything but a regular file there counts as no sidecar: a FIFO must not stall recovery.
  const auto st = file_status(sidecar_path);
  if (!st || !st->regular) return {};
  const auto read = read_file_capped(sidecar_path, kMaxSidecarBytes);
  if (!read) {
    if (read.error().kind() == IoError::Kind::NotRegular) return {};  // replaced by a non-regular file meanwhile
    return {std::nullopt, true};
  }
  // One unreadable sidecar must not make the session unrecoverable: it only loses its checkpoint.
  if (read->truncated || !is_valid_utf8(read->bytes)) return {std::nullopt, true};
  auto sidecar = parse_checkpoint_sidecar(read->bytes);
  if (!sidecar) return {std::nullopt, true};
  return {std::move(sidecar), false};
}

// The sidecar's checkpoint as an offset into the data, whichever origin the
// writer counted it from: the data start (2 x frames) or the file start
// (68 + 2 x frames). Nothing when it is neither.
std::optional<std::uint64_t> checkpoint_data_offset(const CheckpointSidecar& s) {
  if (s.frames_written > (kU64Max - kCafHeaderBytes) / 2) return std::nullopt;
  const std::uint64_t data = 2 * s.frames_written;
  if (s.byte_offset == data) return data;
  if (s.byte_offset == kCafHeaderBytes + data) return data;
  return std::nullopt;
}

}  // namespace

std::optional<CheckpointSidecar> read_checkpoint_sidecar(const std::filesystem::path& sidecar_path) {
  return read_sidecar(sidecar_path).sidecar;
}

std::string_view source_dir_name(SegmentSource source) { return source == SegmentSource::Mic ? "mic" : "system"; }

std::uint64_t count_gaps(const std::vector<SourceGap>& gaps) {
  std::uint64_t total = 0;
  for (const auto& gap : gaps) {
    const std::uint64_t n = std::holds_alternative<MissingSegment>(gap) ? std::get<MissingSegment>(gap).count() : 1;
    total = sat_add(total, n);
  }
  return total;
}

IoResult<SegmentRecovery> recover_segment(const std::filesystem::path& segment_path,
                                          const std::filesystem::path& sidecar_path) {
  SegmentRecovery rec;
  rec.path = segment_path;
  const auto st = file_status(segment_path);
  if (!st) return st.error();
  // A FIFO or device where a segment belongs is an unreadable segment, and is never opened.
  if (!st->regular) return IoError::not_regular_file(segment_path.string());
  if (st->size < kCafHeaderBytes) return rec;  // nothing recoverable; 0 frames at the default rate

  const std::uint64_t data_bytes = st->size - kCafHeaderBytes;
  std::uint64_t kept = data_bytes & ~std::uint64_t{1};

  // The header first: a file that is no segment is not checked against its sidecar.
  const auto format = read_segment_format(segment_path);
  if (!format) return format.error();
  rec.sample_rate = format->sample_rate;

  const auto sidecar = read_sidecar(sidecar_path);
  if (sidecar.unparseable) rec.warnings.emplace_back(SidecarUnparseable{sidecar_path});
  if (sidecar.sidecar) {
    const CheckpointSidecar& s = *sidecar.sidecar;
    const auto origin_offset = checkpoint_data_offset(s);
    if (!origin_offset) rec.warnings.emplace_back(CheckpointOffsetMismatch{s.frames_written, s.byte_offset});
    // An offset that matches neither origin is taken as counted from the data start.
    const std::uint64_t offset = origin_offset.value_or(s.byte_offset);
    if (offset > data_bytes) {
      rec.warnings.emplace_back(DataShorterThanCheckpoint{s.byte_offset, data_bytes});
      if (st->size % 2 != 0) rec.warnings.emplace_back(OddTrailingByte{});
    } else {
      const std::uint64_t beyond = data_bytes - offset;
      if (beyond % 2 != 0) rec.warnings.emplace_back(OddTrailingByte{});
      kept = offset + (beyond & ~std::uint64_t{1});
    }
  } else if (data_bytes % 2 != 0) {
    rec.warnings.emplace_back(OddTrailingByte{});
  }

  rec.frames = kept / 2;
  rec.duration_ms = duration_ms_of(rec.frames, rec.sample_rate);
  rec.bytes = kept + kCafHeaderBytes;
  return rec;
}

IoResult<SourceSegments> kelvaro_segments(const std::filesystem::path& session_dir, SegmentSource source) {
  const std::string_view dir_name = source_dir_name(source);
  const auto dir = session_dir / dir_name;
  SourceSegments result;
  if (const auto st = file_status(dir); !st || !st->directory) return result;
  auto names = list_directory(dir);
  if (!names) {
    result.warnings.emplace_back(UnlistableSourceDirectory{dir, source, names.error().to_string()});
    return result;
  }

  std::map<std::uint64_t, std::filesystem::path> kept;
  std::map<std::uint64_t, std::vector<std::filesystem::path>> duplicates;
  for (const std::string& name : *names) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || std::string_view(name).substr(dot + 1) != "caf") continue;
    auto path = dir / name;
    const std::string_view stem = std::string_view(name).substr(0, dot);
    const auto index = is_valid_utf8(stem) ? segment_index_from_stem(stem, dir_name) : std::nullopt;
    if (!index) {
      result.warnings.emplace_back(UnparseableSegmentName{std::move(path)});
      continue;
    }
    const auto [it, inserted] = kept.try_emplace(*index, path);
    if (!inserted) {
      auto& paths = duplicates[*index];
      if (paths.empty()) paths.push_back(it->second);
      paths.push_back(std::move(path));
    }
  }
  for (auto& [index, paths] : duplicates) {
    result.warnings.emplace_back(DuplicateSegmentIndex{index, std::move(paths)});
  }

  for (const auto& [index, path] : kept) {
    auto sidecar = path;
    sidecar.replace_extension("checkpoint");
    auto rec = recover_segment(path, sidecar);
    if (!rec) {
      // One segment a crash zero-filled (or worse) costs that segment alone;
      // what its file tells of its length keeps its slot.
      UnusableSegment unusable{path, index, source, rec.error().to_string(), std::nullopt, std::nullopt};
      if (const auto checkpoint = read_checkpoint_sidecar(sidecar))
        unusable.checkpoint_frames = checkpoint->frames_written;
      if (const auto st = file_status(path); st && st->regular) {
        unusable.data_bytes = st->size > kCafHeaderBytes ? st->size - kCafHeaderBytes : 0;
      }
      result.warnings.emplace_back(std::move(unusable));
      continue;
    }
    if (const auto st = file_status(sidecar); st && st->regular) rec->sidecar_path = sidecar;
    rec->index = index;
    result.segments.push_back(std::move(rec).value());
  }
  return result;
}

IoResult<RecoveryPlan> kelvaro_plan(const std::filesystem::path& session_dir, std::uint64_t expected_frames) {
  const auto st = file_status(session_dir);
  if (!st) return IoError::other("session directory " + session_dir.string() + ": " + st.error().to_string());
  if (!st->directory) return IoError::other("session directory " + session_dir.string() + ": Not a directory");
  auto mic = kelvaro_segments(session_dir, SegmentSource::Mic);
  if (!mic) return mic.error();
  auto system = kelvaro_segments(session_dir, SegmentSource::System);
  if (!system) return system.error();

  RecoveryPlan plan;
  plan.mic = std::move(mic->segments);
  plan.system = std::move(system->segments);
  plan.warnings = std::move(mic->warnings);
  for (auto& w : system->warnings) plan.warnings.push_back(std::move(w));

  const auto add_gaps = [&](const std::vector<SegmentRecovery>& segments, SegmentSource source) {
    if (segments.size() < 2) return;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
      const std::uint64_t a = segments[i].index, b = segments[i + 1].index;
      if (b - a > 1) plan.gaps.emplace_back(MissingSegment{a, b, source});
    }
    if (expected_frames == 0) return;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
      if (segments[i].frames < expected_frames) {
        plan.gaps.emplace_back(ShortSegment{segments[i].index, expected_frames, segments[i].frames, source});
      }
    }
  };
  add_gaps(plan.mic, SegmentSource::Mic);
  add_gaps(plan.system, SegmentSource::System);

  const auto sum = [](const std::vector<SegmentRecovery>& segments) {
    std::uint64_t total = 0;
    for (const auto& s : segments) total = sat_add(total, s.duration_ms);
    return total;
  };
  const std::uint64_t longest = std::max(sum(plan.mic), sum(plan.system));
  if (longest != 0) plan.duration_ms = longest;
  return plan;
}

}  // namespace recorder::recovery
