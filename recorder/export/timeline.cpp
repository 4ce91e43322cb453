#include "recorder/export/timeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "recorder/export/export_constants.h"
#include "recorder/recovery/caf.h"
#include "segment_format/segment_format.h"

namespace recorder::exporter {
namespace {

using recovery::kCafHeaderBytes;

constexpr std::array<std::uint8_t, kIoBufferBytes> kZeros{};
// Reads of a segment at the export rate.
constexpr std::size_t kCopyChunkBytes = 65536;
// Input samples pulled at a time by the resampler, output samples produced at a time.
constexpr std::size_t kResampleChunk = 4096;

bool is_export_rate(std::uint32_t rate) { return rate == kExportRate || rate == 0; }

// The rate that sizes the default slots of the missing indices before `i`.
std::uint32_t gap_rate(const std::vector<SegmentRecovery>& segments, std::size_t i) {
  return segments[i == 0 ? 0 : i - 1].sample_rate;
}

// The timeline's output: a buffered append writer that counts the frames written.
class TimelineWriter {
 public:
  explicit TimelineWriter(File& file) : writer_(file) {}

  std::uint64_t written() const { return written_; }

  IoResult<void> silence(std::uint64_t frames) {
    std::uint64_t left = sat_mul(frames, 2);
    while (left > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kZeros.size()));
      if (auto r = write_all(writer_, std::span(kZeros.data(), n)); !r) return r;
      left -= n;
    }
    written_ = sat_add(written_, frames);
    return {};
  }

  IoResult<void> samples(std::span<const std::uint8_t> bytes) {
    if (auto r = write_all(writer_, bytes); !r) return r;
    written_ += bytes.size() / 2;
    return {};
  }

  IoResult<void> flush() { return writer_.flush(); }

 private:
  BufferedWriter writer_;
  std::uint64_t written_ = 0;
};

// Copying a segment fails on either side; only failures of the output end the timeline.
struct CopyOutcome {
  std::uint64_t frames = 0;            // frames written from the segment
  std::optional<IoError> read_error;   // the segment could not be (fully) read
  std::optional<IoError> write_error;  // the timeline could not be written
};

// Copies up to `room` frames of a segment at the export rate, stopping at its end.
CopyOutcome copy_segment(const SegmentRecovery& segment, std::uint64_t room, TimelineWriter& out) {
  CopyOutcome outcome;
  auto file = File::open_read(segment.path);
  if (!file) return {0, file.error(), {}};
  if (auto r = file->seek(kCafHeaderBytes); !r) return {0, r.error(), {}};
  std::uint64_t left = sat_mul(std::min(room, segment.frames), 2);
  std::vector<std::uint8_t> buffer(kCopyChunkBytes);
  std::size_t carry = 0;  // an odd byte waiting for its pair
  while (left > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size() - carry));
    auto n = file->read(std::span(buffer.data() + carry, want));
    if (!n) {
      outcome.read_error = n.error();
      return outcome;
    }
    if (*n == 0) break;
    left -= *n;
    const std::size_t have = carry + *n;
    const std::size_t whole = have - have % 2;
    if (auto r = out.samples(std::span(buffer.data(), whole)); !r) {
      outcome.write_error = r.error();
      return outcome;
    }
    outcome.frames += whole / 2;
    carry = have - whole;
    if (carry != 0) buffer[0] = buffer[whole];
  }
  return outcome;
}

// Resamples a segment at another rate to the export rate and writes up to `room` frames of it.
CopyOutcome resample_segment(const SegmentRecovery& segment, std::uint64_t room, TimelineWriter& out) {
  CopyOutcome outcome;
  auto status = file_status(segment.path);
  if (!status) return {0, status.error(), {}};
  const std::uint64_t data_bytes = status->size > kCafHeaderBytes ? (status->size - kCafHeaderBytes) & ~1ULL : 0;
  auto file = File::open_read(segment.path);
  if (!file) return {0, file.error(), {}};
  if (auto r = file->seek(kCafHeaderBytes); !r) return {0, r.error(), {}};
  BufferedReader reader(*file);
  LinearResampler resampler(reader, data_bytes / 2, segment.sample_rate, kExportRate);
  std::uint64_t left = std::min(room, resampler.output_count());
  std::vector<std::int16_t> samples(kResampleChunk);
  std::vector<std::uint8_t> bytes;
  while (left > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, samples.size()));
    if (auto r = resampler.produce(std::span(samples.data(), n)); !r) {
      outcome.read_error = r.error();
      return outcome;
    }
    bytes = recovery::samples_to_bytes(std::span<const std::int16_t>(samples.data(), n));
    if (auto r = out.samples(bytes); !r) {
      outcome.write_error = r.error();
      return outcome;
    }
    outcome.frames += n;
    left -= n;
  }
  return outcome;
}

}  // namespace

std::vector<std::uint32_t> collect_source_rates(const std::vector<SegmentRecovery>& segments) {
  std::vector<std::uint32_t> rates;
  for (const auto& segment : segments) {
    if (std::find(rates.begin(), rates.end(), segment.sample_rate) == rates.end()) rates.push_back(segment.sample_rate);
  }
  return rates;
}

std::uint64_t segment_material_frames(const SegmentRecovery& segment) {
  if (is_export_rate(segment.sample_rate)) return segment.frames;
  return sat_mul_div_ceil(segment.frames, kExportRate, segment.sample_rate);
}

std::uint64_t default_slot_frames(std::uint32_t rate) {
  if (is_export_rate(rate)) return segment_format::kFramesPerSegment;
  return sat_mul_div_ceil(segment_format::kFramesPerSegment, kExportRate, rate);
}

// On the session clock a segment's frames fill its span exactly, so a short
// segment is short because its span was; only an index without a file takes
// a default.
std::uint64_t segment_slot(const SegmentRecovery& segment, const SlotMap& slots) {
  if (const auto it = slots.find(segment.index); it != slots.end()) return it->second;
  return segment_material_frames(segment);
}

// The indices come from file names and may lie astronomically far apart, so
// the range is never walked.
std::uint64_t gap_frames(std::uint64_t first, std::uint64_t end, std::uint32_t rate, const SlotMap& slots,
                         const GapSlots& gaps) {
  if (first >= end) return 0;
  std::uint64_t total = 0;
  std::uint64_t known = 0;
  for (auto it = slots.lower_bound(first); it != slots.end() && it->first < end; ++it) {
    total = sat_add(total, it->second);
    ++known;
  }
  if (const auto it = gaps.before.find(end); it != gaps.before.end()) return sat_add(total, it->second);
  return sat_add(total, sat_mul(end - first - known, default_slot_frames(rate)));
}

// At the first segment, or earlier at the first index the manifest records,
// whose file is gone with those after it, or at an unusable segment's.
std::uint64_t first_slot_index(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                               const GapSlots& gaps) {
  std::uint64_t first = segments.front().index;
  if (!slots.empty()) first = std::min(first, slots.begin()->first);
  if (gaps.first_index) first = std::min(first, *gaps.first_index);
  return first;
}

std::uint64_t source_material_frames(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                                     const GapSlots& gaps) {
  if (segments.empty()) return 0;
  std::uint64_t sum = 0;
  std::uint64_t next = first_slot_index(segments, slots, gaps);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto& segment = segments[i];
    sum = sat_add(sum, gap_frames(next, segment.index, gap_rate(segments, i), slots, gaps));
    const std::uint64_t d = segment_material_frames(segment);
    const std::uint64_t slot = segment_slot(segment, slots);
    const bool last = i + 1 == segments.size();
    sum = sat_add(sum, d < slot && !last ? slot : d);
    next = sat_add(segment.index, 1);
  }
  return sum;
}

std::uint64_t compute_material_frames(std::uint64_t requested, const std::vector<SegmentRecovery>& mic,
                                      const std::vector<SegmentRecovery>& system, const SlotMap& mic_slots,
                                      const SlotMap& system_slots, const GapSlots& mic_gaps,
                                      const GapSlots& system_gaps) {
  const std::uint64_t material = std::max(source_material_frames(mic, mic_slots, mic_gaps),
                                          source_material_frames(system, system_slots, system_gaps));
  if (material == 0) return requested;
  if (requested != 0 && material >= requested) return requested;
  return material;
}

LinearResampler::LinearResampler(Reader& input, std::uint64_t input_count, std::uint32_t source_rate,
                                 std::uint32_t target_rate)
    : input_(input),
      input_count_(input_count),
      step_(static_cast<double>(source_rate) / static_cast<double>(target_rate)) {
  if (input_count == 0) {
    output_count_ = 0;
  } else if (source_rate == target_rate) {
    output_count_ = input_count;
  } else {
    const double count = std::ceil(static_cast<double>(input_count) / step_);
    output_count_ = count >= 18446744073709551615.0 ? kU64Max : static_cast<std::uint64_t>(count);
  }
}

IoResult<std::int16_t> LinearResampler::sample_at(std::uint64_t index) {
  // Indices only grow, so the window keeps its last sample and moves on.
  while (index >= window_base_ + window_.size()) {
    if (!window_.empty()) {
      window_base_ += window_.size() - 1;
      window_.erase(window_.begin(), window_.end() - 1);
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kResampleChunk, input_count_ - read_));
    std::vector<std::uint8_t> bytes(n * 2);
    if (auto r = recovery::read_or_zero_fill(input_, bytes); !r) return r.error();
    const auto samples = recovery::bytes_to_samples(bytes);
    window_.insert(window_.end(), samples.begin(), samples.end());
    read_ += n;
  }
  return window_[index - window_base_];
}

IoResult<void> LinearResampler::produce(std::span<std::int16_t> out) {
  const std::uint64_t last = input_count_ - 1;
  for (auto& value : out) {
    if (next_output_ >= output_count_) break;
    const double pos = step_ * static_cast<double>(next_output_);
    const double floor_pos = std::floor(pos);
    const auto m = static_cast<std::uint64_t>(floor_pos);
    auto a = sample_at(std::min(m, last));
    if (!a) return a.error();
    auto b = sample_at(std::min(sat_add(m, 1), last));
    if (!b) return b.error();
    const double v = static_cast<double>(*a) + (static_cast<double>(*b) - static_cast<double>(*a)) * (pos - floor_pos);
    value = static_cast<std::int16_t>(std::clamp(std::round(v), -32768.0, 32767.0));
    ++next_output_;
  }
  return {};
}

std::vector<std::int16_t> resample_linear(std::span<const std::int16_t> samples, std::uint32_t source_rate,
                                          std::uint32_t target_rate) {
  if (samples.empty()) return {};
  if (source_rate == target_rate) return {samples.begin(), samples.end()};
  // An in-memory reader over the slice's little-endian bytes.
  class SliceReader final : public Reader {
   public:
    explicit SliceReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
      const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
      std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
      at_ += n;
      return n;
    }

   private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
  };
  SliceReader reader(recovery::samples_to_bytes(samples));
  LinearResampler resampler(reader, samples.size(), source_rate, target_rate);
  std::vector<std::int16_t> out(static_cast<std::size_t>(resampler.output_count()));
  // Reading from memory cannot fail.
  (void)resampler.produce(out);
  return out;
}

IoResult<TimelineResult> build_source_timeline(const std::vector<SegmentRecovery>& segments, const SlotMap& slots,
                                               const std::filesystem::path& out, std::uint64_t target,
                                               const GapSlots& gaps) {
  if (target > kMaxTimelineFrames) return IoError::other("timeline too long: " + std::to_string(target) + " frames");
  if (auto r = recovery::write_synthetic_caf(out, kExportRate); !r) return r.error();
  auto file = File::open_append(out);
  if (!file) return file.error();
  TimelineWriter writer(*file);
  TimelineResult result{out, {}};
  const auto room = [&] { return target - writer.written(); };

  if (!segments.empty()) {
    std::uint64_t next = first_slot_index(segments, slots, gaps);
    for (std::size_t i = 0; i < segments.size() && writer.written() < target; ++i) {
      const auto& segment = segments[i];
      const std::uint64_t gap = gap_frames(next, segment.index, gap_rate(segments, i), slots, gaps);
      if (gap != 0) {
        if (auto r = writer.silence(std::min(room(), gap)); !r) return r.error();
        if (writer.written() >= target) break;
      }
      const std::uint64_t slot = segment_slot(segment, slots);
      const bool resampled = !is_export_rate(segment.sample_rate);
      const auto copied = resampled ? resample_segment(segment, room(), writer) : copy_segment(segment, room(), writer);
      if (copied.write_error) return *copied.write_error;
      if (copied.read_error) {
        // An unreadable segment keeps its place in time as silence.
        if (auto r = writer.silence(std::min(room(), sat_sub(slot, copied.frames))); !r) return r.error();
      } else {
        if (resampled) result.notes.push_back({segment.index, segment.sample_rate, kExportRate});
        const bool last = i + 1 == segments.size();
        if (!last && copied.frames < slot && writer.written() < target) {
          if (auto r = writer.silence(std::min(room(), slot - copied.frames)); !r) return r.error();
        }
      }
      next = sat_add(segment.index, 1);
    }
  }
  if (writer.written() < target) {
    if (auto r = writer.silence(room()); !r) return r.error();
  }
  if (auto r = writer.flush(); !r) return r.error();
  if (auto r = recovery::patch_caf_data_size(out, writer.written() * 2); !r) return r.error();
  return result;
}

IoResult<std::uint64_t> apply_system_interval_mask(const std::filesystem::path& timeline, std::uint64_t target,
                                                   const std::vector<SourceRecordingInterval>& intervals) {
  if (target == 0) return std::uint64_t{0};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const auto& interval : intervals) {
    const std::uint64_t start = sat_mul(interval.start_ms, kExportRate) / 1000;
    const std::uint64_t end = std::min(sat_mul_div_ceil(interval.end_ms, kExportRate, 1000), target);
    if (start < end) ranges.emplace_back(start, end);
  }
  std::sort(ranges.begin(), ranges.end());
  auto file = File::open_write(timeline);
  if (!file) return file.error();
  std::uint64_t cursor = 0;
  std::uint64_t muted = 0;
  for (const auto& [start, end] : ranges) {
    if (cursor < start) {
      if (auto r = recovery::zero_fill_caf_frames(*file, cursor, start); !r) return r.error();
      muted += start - cursor;
    }
    cursor = std::max(cursor, end);
  }
  if (cursor < target) {
    if (auto r = recovery::zero_fill_caf_frames(*file, cursor, target); !r) return r.error();
    muted += target - cursor;
  }
  return muted;
}

}  // namespace recorder::exporter
