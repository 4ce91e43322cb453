// docs/protocol.md is the host developers' reference: these tests keep it
// complete by reading the helper's sources for every event type, warning
// code and fatal reason they can emit.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "helper/core/bus/event_bus.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const fs::path kProjectDir = fs::path(VR_TEST_SOURCE_DIR).parent_path();

// What a scan of source text found.
struct Emitted {
  std::set<std::string> types;
  std::set<std::string> warningCodes;
  std::set<std::string> fatalReasons;
  // Event types that are not a string literal: the scan cannot check them.
  std::vector<std::string> problems;
};

size_t lineOf(const std::string& text, size_t offset) {
  return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

std::string lineAt(const std::string& text, size_t offset) {
  const size_t begin = text.rfind('\n', offset);
  const size_t end = text.find('\n', offset);
  const size_t from = begin == std::string::npos ? 0 : begin + 1;
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// How event types are recognised (every event is a JSON object whose "type"
// the helper builds in one of these ways):
//  - the key-value pair of an initializer list: {"type", "session_end"};
//  - an assignment by key: e["type"] = "segment_closed";
//  - a call of a function whose name begins with "emit" and whose first
//    argument is a string literal: emit("new_type", ...), emitEvent("x").
//    emitWarning's first argument is a warning code instead, and that of
//    emitRouteTrace (or another emitter ending in "Trace") a trace stage,
//    which the reference does not list.
// Warning codes: the first literal argument of any function whose name ends
// in "Warning" (emitWarning, writerWarning) and the pair {"code", "..."}.
// Fatal reasons: the first literal argument of exitWithError.
// A "type" key followed by anything but a literal is reported as a problem,
// so an event type cannot hide in a variable. A line that builds a command
// rather than an event says so with a comment containing "not an event".
Emitted scanSource(const std::string& text, const std::string& where) {
  static const std::regex pairType(R"re(\{\s*"type"\s*,\s*("([^"\\]*)"\s*\})?)re");
  static const std::regex assignedType(R"re(\[\s*"type"\s*\]\s*=(?!=)\s*("([^"\\]*)")?)re");
  static const std::regex emitCall(R"re(\b(emit\w*)\s*\(\s*"([^"\\]*)")re");
  static const std::regex warningCall(R"re(\b\w*Warning\s*\(\s*"([^"\\]*)")re");
  static const std::regex codePair(R"re(\{\s*"code"\s*,\s*"([^"\\]*)"\s*\})re");
  static const std::regex fatalCall(R"re(\bexitWithError\s*\(\s*"([^"\\]*)")re");

  Emitted out;
  auto each = [&](const std::regex& re, auto&& onMatch) {
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
      const auto offset = static_cast<size_t>(it->position(0));
      if (lineAt(text, offset).find("not an event") != std::string::npos) continue;
      onMatch(*it, where + ":" + std::to_string(lineOf(text, offset)));
    }
  };
  auto typeMatch = [&](const std::smatch& m, const std::string& at) {
    if (m[1].matched) {
      out.types.insert(m[2].str());
    } else {
      out.problems.push_back(at + ": event type is not a string literal");
    }
  };
  each(pairType, typeMatch);
  each(assignedType, typeMatch);
  each(emitCall, [&](const std::smatch& m, const std::string&) {
    const std::string name = m[1].str();
    if (name == "emitWarning") {
      out.warningCodes.insert(m[2].str());
    } else if (!name.ends_with("Trace") && name != "emitSourceFailed") {
      // A route trace's first argument is its stage (emitRouteTrace and the
      // emitters built on it end in "Trace"), emitSourceFailed's a source;
      // the "source_failed" it sends is found as a type pair.
      out.types.insert(m[2].str());
    }
  });
  each(warningCall, [&](const std::smatch& m, const std::string&) { out.warningCodes.insert(m[1].str()); });
  each(codePair, [&](const std::smatch& m, const std::string&) { out.warningCodes.insert(m[1].str()); });
  each(fatalCall, [&](const std::smatch& m, const std::string&) { out.fatalReasons.insert(m[1].str()); });
  return out;
}

// Every C++ file of the helper and of its program.
Emitted scanHelperSources() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(kProjectDir / "helper")) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h")) files.push_back(entry.path());
  }
  files.push_back(kProjectDir / "bin" / "tasmerig.cpp");
  Emitted all;
  for (const auto& file : files) {
    Emitted one = scanSource(testsupport::readFile(file), fs::relative(file, kProjectDir).string());
    all.types.merge(one.types);
    all.warningCodes.merge(one.warningCodes);
    all.fatalReasons.merge(one.fatalReasons);
    all.problems.insert(all.problems.end(), one.problems.begin(), one.problems.end());
  }
  return all;
}

// What the reference lists: "### `type`" headings under "## Events", each
// with a "Critical: yes" or "Critical: no" line, and the first cells of the
// tables under "## Warnings" and "## Fatal errors".
struct Reference {
  std::map<std::string, std::string> critical;  // event type -> "yes", "no" or "" when missing
  std::set<std::string> warningCodes;
  std::set<std::string> fatalReasons;
};

Reference parseReference(const std::string& text) {
  static const std::regex eventHeading(R"re(^### `([a-z0-9_]+)`\s*$)re");
  static const std::regex criticalLine(R"re(^Critical: (yes|no)\b)re");
  static const std::regex firstCell(R"re(^\| `([a-z0-9_]+)` \|)re");
  Reference ref;
  std::string section, event;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::smatch m;
    if (line.rfind("## ", 0) == 0) {
      section = line.substr(3);
      event.clear();
    } else if (section == "Events" && std::regex_match(line, m, eventHeading)) {
      event = m[1].str();
      ref.critical[event] = "";
    } else if (!event.empty() && ref.critical[event].empty() && std::regex_search(line, m, criticalLine)) {
      ref.critical[event] = m[1].str();
    } else if (section == "Warnings" && std::regex_search(line, m, firstCell)) {
      ref.warningCodes.insert(m[1].str());
    } else if (section == "Fatal errors" && std::regex_search(line, m, firstCell)) {
      ref.fatalReasons.insert(m[1].str());
    }
  }
  return ref;
}

Reference readReference() { return parseReference(testsupport::readFile(kProjectDir / "docs" / "protocol.md")); }

TEST(DocsProtocol, TheScanFindsEveryWayAnEventIsBuilt) {
  const Emitted e = scanSource(R"src(
    emitEvent(Event{{"type", "pair_type"}, {"source", "mic"}});
    Event e;
    e["type"] = "assigned_type";
    if (e["type"] == "compared_not_built") return;
    emit("new_type", {{"k", 1}});
    emitSourceEvent(
        "other_new_type");
    emitWarning("a_code", "ctx");
    out.push_back(writerWarning("b_code", "detail"));
    Event w{{"type", "warning"}, {"code", "c_code"}, {"ctx", "x"}};
    emitRouteTrace("a_stage", "mic");
    exitWithError("a_reason", "ctx", 1);
    Event bad{{"type", kSomeType}};
    Event cmd{{"type", "pause"}};  // a command, not an event
  )src",
                               "sample.cpp");
  EXPECT_EQ(e.types, (std::set<std::string>{"pair_type", "assigned_type", "new_type", "other_new_type", "warning"}));
  EXPECT_EQ(e.warningCodes, (std::set<std::string>{"a_code", "b_code", "c_code"}));
  EXPECT_EQ(e.fatalReasons, (std::set<std::string>{"a_reason"}));
  ASSERT_EQ(e.problems.size(), 1u);
  EXPECT_EQ(e.problems[0], "sample.cpp:14: event type is not a string literal");
}

TEST(DocsProtocol, TheReferenceIsReadByHeadingsAndTables) {
  const Reference r = parseReference(
      "## Events\n\n### `one`\n\nCritical: yes. Modes: all.\n\n| key | type |\n|---|---|\n| `k` | string |\n\n"
      "### `two`\n\nNo marking.\n\n## Warnings\n\n| code | when |\n|---|---|\n| `w_one` | then |\n\n"
      "## Fatal errors\n\n| reason | exit | when |\n|---|---|---|\n| `f_one` | 1 | then |\n");
  EXPECT_EQ(r.critical, (std::map<std::string, std::string>{{"one", "yes"}, {"two", ""}}));
  EXPECT_EQ(r.warningCodes, (std::set<std::string>{"w_one"}));
  EXPECT_EQ(r.fatalReasons, (std::set<std::string>{"f_one"}));
}

TEST(DocsProtocol, EveryEventTypeTheHelperCanEmitIsListed) {
  const Emitted emitted = scanHelperSources();
  const Reference ref = readReference();
  for (const auto& problem : emitted.problems) ADD_FAILURE() << problem;
  // A scan that finds little is broken, not proof of a complete reference.
  for (const char* known : {"helper_ready", "segment_closed", "session_end", "warning", "fatal_error"}) {
    EXPECT_TRUE(emitted.types.count(known)) << "the scan no longer finds " << known;
  }
  for (const auto& type : emitted.types) {
    EXPECT_TRUE(ref.critical.count(type)) << "docs/protocol.md lists no event type \"" << type << "\"";
  }
}

TEST(DocsProtocol, EveryListedEventIsEmittedAndMarkedAsTheBusTreatsIt) {
  const Emitted emitted = scanHelperSources();
  for (const auto& [type, critical] : readReference().critical) {
    EXPECT_TRUE(emitted.types.count(type)) << "docs/protocol.md lists \"" << type << "\", which nothing emits";
    ASSERT_FALSE(critical.empty()) << "\"" << type << "\" has no \"Critical: yes|no\" line";
    EXPECT_EQ(critical == "yes", helper::EventBus::isCriticalEventType(type)) << type;
  }
}

TEST(DocsProtocol, EveryWarningCodeAndFatalReasonIsListed) {
  const Emitted emitted = scanHelperSources();
  const Reference ref = readReference();
  EXPECT_TRUE(emitted.warningCodes.count("events_dropped"));
  EXPECT_TRUE(emitted.fatalReasons.count("bad_args"));
  for (const auto& code : emitted.warningCodes) {
    EXPECT_TRUE(ref.warningCodes.count(code)) << "docs/protocol.md lists no warning code \"" << code << "\"";
  }
  for (const auto& reason : emitted.fatalReasons) {
    EXPECT_TRUE(ref.fatalReasons.count(reason)) << "docs/protocol.md lists no fatal reason \"" << reason << "\"";
  }
}

TEST(DocsProtocol, TheReadmeLinksTheReference) {
  EXPECT_NE(testsupport::readFile(kProjectDir / "README.md").find("(docs/protocol.md)"), std::string::npos);
}

}  // namespace
