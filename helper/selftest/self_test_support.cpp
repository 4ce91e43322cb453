// What the self-test's groups share: scratch directories, rings in
// ordinary memory, mic ring messages and the text forms of figures.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "helper/core/entry/clock.h"
#include "helper/selftest/segment_writer_test_access.h"
#include "helper/selftest/self_test_suite.h"

namespace helper {

void SelfTestContext::failAll(const std::vector<std::string>& names, const std::string& reason) const {
  for (const auto& name : names) check(name, false, reason);
}

GroupScratchDir::GroupScratchDir(const SelfTestContext& ctx, const std::string& prefix)
    : scratch_(ctx.scratch), name_(prefix + ctx.pid) {
  scratch_.remove(name_);
  path_ = scratch_.makeDirectory(name_);
}

GroupScratchDir::~GroupScratchDir() { scratch_.remove(name_); }

OwnedRing::OwnedRing(uint64_t capacity) : storage_(capacity) { reset(); }

std::vector<uint8_t> OwnedRing::peek(uint64_t n) const {
  std::vector<uint8_t> out;
  const uint64_t mask = ring_.capacity - 1;
  const uint64_t from = ring_.read_pos.load();
  const uint64_t count = n < readable() ? n : readable();
  out.reserve(count);
  for (uint64_t i = 0; i < count; ++i) out.push_back(ring_.buffer[(from + i) & mask]);
  return out;
}

uint64_t OwnedRing::drainAll() {
  uint64_t total = 0;
  for (uint64_t readableNow = readable(); readableNow > 0; readableNow = readable()) {
    const uint64_t read = ring_.read_pos.load();
    const uint64_t contiguous = ring_.capacity - (read & (ring_.capacity - 1));
    const uint64_t span = readableNow < contiguous ? readableNow : contiguous;
    ring_.read_pos.store(read + span);
    total += span;
  }
  return total;
}

std::unique_ptr<SegmentWriter> makeSelfTestWriter(const std::string& dir, int64_t segmentSeconds,
                                                  SegmentWriter::Clock clock) {
  auto writer =
      std::make_unique<SegmentWriter>("mic", dir, 24000.0, 1, segmentSeconds, machAbsoluteTimeNs(), std::move(clock));
  writer->setNativeRateNow(24000);
  writer->setNativeChannelsNow(1);
  return writer;
}

std::unique_ptr<platform::audio::PCMBuffer> makeSelfTestBuffer(const std::vector<float>& samples) {
  using platform::audio::AudioFormat;
  using platform::audio::CommonFormat;
  const auto format = AudioFormat::make(CommonFormat::pcmFloat32, 24000.0, 1, false);
  if (!format) return nullptr;
  auto buffer = platform::audio::PCMBuffer::make(*format, static_cast<uint32_t>(samples.size()));
  if (!buffer) return nullptr;
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  float* channel = buffer->floatChannelData()[0];
  for (size_t i = 0; i < samples.size(); ++i) channel[i] = samples[i];
  return buffer;
}

std::vector<Event> writeSelfTestSamples(SegmentWriter& writer, const std::vector<float>& samples) {
  const auto buffer = makeSelfTestBuffer(samples);
  return buffer ? SegmentWriterTestAccess::write(writer, *buffer) : std::vector<Event>{};
}

namespace {
void appendU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
}  // namespace

std::vector<uint8_t> micRingMessageBytes(uint32_t generation, const std::vector<float>& samples) {
  std::vector<uint8_t> out;
  appendU32(out, generation);
  appendU32(out, static_cast<uint32_t>(samples.size()));
  for (float s : samples) {
    uint32_t bits = 0;
    std::memcpy(&bits, &s, 4);
    appendU32(out, bits);
  }
  return out;
}

std::vector<uint8_t> micRingMessageBytes(uint32_t generation, uint32_t frames, float value) {
  return micRingMessageBytes(generation, std::vector<float>(frames, value));
}

uint32_t readU32(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[offset + static_cast<size_t>(i)];
  return v;
}

float readF32(const std::vector<uint8_t>& bytes, size_t offset) {
  const uint32_t bits = readU32(bytes, offset);
  float v = 0;
  std::memcpy(&v, &bits, 4);
  return v;
}

std::string decimalText(double value) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string wholeNumberText(double value) {
  // Within ±2^63 the truncated value is exact as an integer; beyond that
  // (or not finite) printf still gives its digits or its name.
  if (std::isfinite(value) && std::fabs(value) < 9.2e18) return std::to_string(static_cast<int64_t>(value));
  return fixedText(std::trunc(value), 0);
}

std::string fixedText(double value, int places) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", places, value);
  return buf;
}

std::string flagText(bool value) { return value ? "true" : "false"; }

std::optional<std::string> textField(const nlohmann::json& event, const char* key) {
  if (!event.is_object()) return std::nullopt;
  const auto it = event.find(key);
  if (it == event.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<int64_t> wholeField(const nlohmann::json& event, const char* key) {
  if (!event.is_object()) return std::nullopt;
  const auto it = event.find(key);
  if (it == event.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<int64_t>();
}

bool hasText(const nlohmann::json& event, const char* key, const std::string& expected) {
  return textField(event, key) == expected;
}

bool hasWhole(const nlohmann::json& event, const char* key, int64_t expected) {
  return wholeField(event, key) == expected;
}

}  // namespace helper
