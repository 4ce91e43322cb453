#include "tests/support/session_checks.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <utility>

#include "segment_format/segment_format.h"
#include "tests/support/host_session.h"

namespace testsupport {

using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {
constexpr int64_t kCafHeaderBytes = segment_format::kHeaderBytes;
constexpr int64_t kTimelineRate = 24000;
}  // namespace

std::vector<json> ofSource(const std::vector<json>& events, const std::string& source) {
  std::vector<json> out;
  for (const auto& e : events) {
    if (e.value("source", "") == source) out.push_back(e);
  }
  return out;
}

size_t findFrom(const std::vector<json>& events, size_t from, const std::function<bool(const json&)>& match) {
  for (size_t i = from; i < events.size(); ++i) {
    if (match(events[i])) return i;
  }
  return events.size();
}

std::function<bool(const json&)> ofType(const std::string& type) {
  return [type](const json& e) { return e.value("type", "") == type; };
}

std::function<bool(const json&)> segmentClosed(const std::string& source, int64_t index) {
  return [source, index](const json& e) {
    return e.value("type", "") == "segment_closed" && e.value("source", "") == source && e.value("index", 0) == index;
  };
}

std::vector<json> traces(const std::vector<json>& events, const std::string& stage) {
  std::vector<json> out;
  for (const auto& e : events) {
    if (e.value("type", "") == "route_trace" && e.value("stage", "") == stage) out.push_back(e);
  }
  return out;
}

void expectSealedAndEnded(const CaptureSession& s) {
  const auto events = s.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().value("type", ""), "session_end") << s.joined();
  EXPECT_EQ(s.eventsOfType("session_end").size(), 1u);
  std::set<std::pair<std::string, int64_t>> opened, closed;
  for (const auto& e : s.eventsOfType("segment_opened"))
    opened.insert({e["source"].get<std::string>(), e["index"].get<int64_t>()});
  for (const auto& e : s.eventsOfType("segment_closed")) {
    closed.insert({e["source"].get<std::string>(), e["index"].get<int64_t>()});
    EXPECT_EQ(fs::file_size(s.sessionDir() / e["path"].get<std::string>()), e["bytes"].get<uintmax_t>()) << e.dump();
    EXPECT_EQ(e["bytes"].get<int64_t>(), kCafHeaderBytes + 2 * e["frames"].get<int64_t>()) << e.dump();
  }
  // Every segment opened is closed, an empty one too (it stays, so that
  // the numbering has no hole), and "session_end" counts the last closed.
  for (const auto& o : opened) EXPECT_TRUE(closed.count(o)) << o.first << " segment " << o.second << " never closed";
  std::map<std::string, int64_t> last;
  for (const auto& c : closed) last[c.first] = std::max(last[c.first], c.second);
  const auto counts = s.eventsOfType("session_end").at(0)["segments"];
  for (const auto& [source, index] : last) EXPECT_EQ(counts.value(source, int64_t{-1}), index) << source;
}

RunResult finalise(const CaptureSession& s) {
  writeManifest(s.sessionDir(), s.events());
  return runKelvaro(s.sessionDir());
}

int64_t timelineMs(const fs::path& file) {
  return (static_cast<int64_t>(fs::file_size(file)) - kCafHeaderBytes) / 2 * 1000 / kTimelineRate;
}

}  // namespace testsupport
