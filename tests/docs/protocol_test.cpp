// docs/protocol.md is the host developers' reference: these tests keep it
// complete by reading the helper's sources for every event type, warning
// code and fatal reason they can emit, and kelvaro's for every line,
// failure and warning code it can print.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
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

// Every C++ file under `dir` of the project, and the program's `main`.
std::vector<fs::path> programSources(const char* dir, const char* program) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(kProjectDir / dir)) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h")) files.push_back(entry.path());
  }
  files.push_back(kProjectDir / "bin" / program);
  return files;
}

// Every C++ file of the helper and of its program.
Emitted scanHelperSources() {
  Emitted all;
  for (const auto& file : programSources("helper", "tasmerig.cpp")) {
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

// Calls `fn` with each line of `text`, without its end of line.
void forEachLine(const std::string& text, const std::function<void(const std::string&)>& fn) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    fn(text.substr(pos, end - pos));
    pos = end + 1;
  }
}

Reference parseReference(const std::string& text) {
  static const std::regex eventHeading(R"re(^### `([a-z0-9_]+)`\s*$)re");
  static const std::regex criticalLine(R"re(^Critical: (yes|no)\b)re");
  static const std::regex firstCell(R"re(^\| `([a-z0-9_]+)` \|)re");
  Reference ref;
  std::string section, event;
  forEachLine(text, [&](const std::string& line) {
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
  });
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

// ---- kelvaro: the lines it prints, the failures it reports, its warning codes ----

// What a scan of kelvaro's sources found.
struct KelvaroEmitted {
  std::set<std::string> lines;         // literals a printed line starts with
  std::set<std::string> failures;      // literals a failure's text starts with
  std::set<std::string> warningCodes;  // first arguments of warning_text
  // Warnings made without warning_text: the scan cannot check them.
  std::vector<std::string> problems;
};

// How kelvaro's texts are recognised:
//  - a printed line: print_line("literal..." or a constant k...Line or
//    k...Prefix = "literal";
//  - a failure: the display texts of FinalizationError (return "literal"
//    in an operator() of its Display) and IoError::other("literal" in the
//    finalisation's own files (finalize, timeline, encode);
//  - a warning: warning_text("code", ...). A warning list that is handed a
//    text not made by warning_text is reported as a problem, unless its line
//    says "not a new warning".
KelvaroEmitted scanKelvaroSource(const std::string& text, const std::string& where, bool failures) {
  static const std::regex printed(R"re(\bprint_line\(\s*"([^"\\]*)")re");
  static const std::regex constant(R"re(constexpr const char\*\s*k\w*(?:Line|Prefix)\s*=\s*"([^"\\]*)")re");
  static const std::regex display(R"re(operator\(\)\([^)]*\) const \{ return "([^"\\]*)")re");
  static const std::regex other(R"re(\bIoError::other\(\s*"([^"\\]*)")re");
  static const std::regex code(R"re(\bwarning_text\(\s*"([^"\\]*)")re");
  static const std::regex pushed(R"re((?:^|[^.>\w])(?:warnings|notes_)\.push_back\((?!\s*warning_text\())re");
  KelvaroEmitted out;
  auto each = [&](const std::regex& re, auto&& onMatch) {
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
      const auto offset = static_cast<size_t>(it->position(0));
      if (lineAt(text, offset).find("not a new warning") != std::string::npos) continue;
      onMatch(*it, where + ":" + std::to_string(lineOf(text, offset)));
    }
  };
  each(printed, [&](const std::smatch& m, const std::string&) { out.lines.insert(m[1].str()); });
  each(constant, [&](const std::smatch& m, const std::string&) { out.lines.insert(m[1].str()); });
  each(display, [&](const std::smatch& m, const std::string&) { out.failures.insert(m[1].str()); });
  if (failures)
    each(other, [&](const std::smatch& m, const std::string&) { out.failures.insert("IO error: " + m[1].str()); });
  each(code, [&](const std::smatch& m, const std::string&) { out.warningCodes.insert(m[1].str()); });
  each(pushed, [&](const std::smatch&, const std::string& at) {
    out.problems.push_back(at + ": a warning not made by warning_text");
  });
  return out;
}

// Every C++ file of the recovery program and of its entry.
KelvaroEmitted scanKelvaroSources() {
  KelvaroEmitted all;
  for (const auto& file : programSources("recorder", "kelvaro.cpp")) {
    const std::string stem = file.stem().string();
    const bool own = file.parent_path().filename() == "export" &&
                     (stem == "finalize" || stem == "timeline" || stem == "encode" || stem == "validation");
    KelvaroEmitted one = scanKelvaroSource(testsupport::readFile(file), fs::relative(file, kProjectDir).string(), own);
    all.lines.merge(one.lines);
    all.failures.merge(one.failures);
    all.warningCodes.merge(one.warningCodes);
    all.problems.insert(all.problems.end(), one.problems.begin(), one.problems.end());
  }
  return all;
}

// What the reference lists of kelvaro: the first cells of the tables under
// "### Output lines", "### Failures" and "### Warnings of `kelvaro`" in the
// "## `kelvaro`" section.
struct KelvaroReference {
  std::vector<std::string> lines;
  std::vector<std::string> failures;
  std::set<std::string> warningCodes;
};

KelvaroReference parseKelvaroReference(const std::string& text) {
  static const std::regex firstCell(R"re(^\| `([^`]+)` \|)re");
  KelvaroReference ref;
  std::string section, sub;
  forEachLine(text, [&](const std::string& line) {
    std::smatch m;
    if (line.rfind("## ", 0) == 0) {
      section = line.substr(3);
      sub.clear();
    } else if (line.rfind("### ", 0) == 0) {
      sub = line.substr(4);
    } else if (section == "`kelvaro`" && std::regex_search(line, m, firstCell)) {
      if (sub == "Output lines") ref.lines.push_back(m[1].str());
      if (sub == "Failures") ref.failures.push_back(m[1].str());
      if (sub == "Warnings of `kelvaro`") ref.warningCodes.insert(m[1].str());
    }
  });
  return ref;
}

// A listed text and a literal of the program name the same line when one
// begins with the other, up to the listed text's first placeholder.
bool namesTheSameText(const std::string& listed, const std::string& literal) {
  const std::string fixed = listed.substr(0, listed.find('<'));
  return listed.rfind(literal, 0) == 0 || literal.rfind(fixed, 0) == 0;
}

bool anyNames(const std::vector<std::string>& listed, const std::string& literal) {
  return std::any_of(listed.begin(), listed.end(), [&](const auto& l) { return namesTheSameText(l, literal); });
}

TEST(DocsProtocol, TheKelvaroScanFindsItsLinesFailuresAndWarnings) {
  const KelvaroEmitted e = scanKelvaroSource(R"src(
    print_line("recovery plan failed: " + error);
    inline constexpr const char* kUsageLine = "usage: kelvaro <session-dir>";
    std::string operator()(const NoSourceSegments&) const { return "no source segments found"; }
    return IoError::other("timeline too long: " + n);
    notes_.push_back(warning_text("a_code", "details"));
    warnings.push_back(
        warning_text("b_code", "details"));
    warnings.push_back("c_code: made by hand");
    for (auto& w : listed) warnings.push_back(w);  // not a new warning
  )src",
                                             "sample.cpp", true);
  EXPECT_EQ(e.lines, (std::set<std::string>{"recovery plan failed: ", "usage: kelvaro <session-dir>"}));
  EXPECT_EQ(e.failures, (std::set<std::string>{"no source segments found", "IO error: timeline too long: "}));
  EXPECT_EQ(e.warningCodes, (std::set<std::string>{"a_code", "b_code"}));
  ASSERT_EQ(e.problems.size(), 1u);
  EXPECT_EQ(e.problems[0], "sample.cpp:9: a warning not made by warning_text");
  const KelvaroReference r = parseKelvaroReference(
      "## Warnings\n\n| code | when |\n|---|---|\n| `helper_code` | x |\n\n## `kelvaro`\n\n### Output lines\n\n"
      "| line | when |\n|---|---|\n| `bytes=<n>` | x |\n\n### Failures\n\n| error | when |\n|---|---|\n"
      "| `IO error: <error>` | x |\n\n### Warnings of `kelvaro`\n\n| code | when |\n|---|---|\n| `a_code` | x |\n");
  EXPECT_EQ(r.lines, (std::vector<std::string>{"bytes=<n>"}));
  EXPECT_EQ(r.failures, (std::vector<std::string>{"IO error: <error>"}));
  EXPECT_EQ(r.warningCodes, (std::set<std::string>{"a_code"}));
  EXPECT_TRUE(namesTheSameText("bytes=<n>", "bytes="));
  EXPECT_FALSE(namesTheSameText("bytes=<n>", "duration_ms="));
}

TEST(DocsProtocol, EveryLineAndFailureOfKelvaroIsListedAndEveryListedOneIsPrinted) {
  const KelvaroEmitted emitted = scanKelvaroSources();
  const KelvaroReference ref = parseKelvaroReference(testsupport::readFile(kProjectDir / "docs" / "protocol.md"));
  for (const char* known : {"finalize failed: ", "recovered_m4a=", "warnings="}) {
    EXPECT_TRUE(emitted.lines.count(known)) << "the scan no longer finds " << known;
  }
  EXPECT_TRUE(emitted.failures.count("no source segments found"));
  for (const auto& line : emitted.lines) {
    EXPECT_TRUE(anyNames(ref.lines, line)) << "docs/protocol.md lists no kelvaro line \"" << line << "\"";
  }
  for (const auto& failure : emitted.failures) {
    EXPECT_TRUE(anyNames(ref.failures, failure)) << "docs/protocol.md lists no kelvaro failure \"" << failure << "\"";
  }
  const std::vector<std::string> lines(emitted.lines.begin(), emitted.lines.end());
  const std::vector<std::string> failures(emitted.failures.begin(), emitted.failures.end());
  for (const auto& listed : ref.lines) {
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return namesTheSameText(listed, l); }))
        << "docs/protocol.md lists \"" << listed << "\", which kelvaro never prints";
  }
  for (const auto& listed : ref.failures) {
    EXPECT_TRUE(
        std::any_of(failures.begin(), failures.end(), [&](const auto& f) { return namesTheSameText(listed, f); }))
        << "docs/protocol.md lists the failure \"" << listed << "\", which kelvaro never reports";
  }
}

TEST(DocsProtocol, EveryWarningCodeOfKelvaroIsListedAndEveryListedOneIsReported) {
  const KelvaroEmitted emitted = scanKelvaroSources();
  const KelvaroReference ref = parseKelvaroReference(testsupport::readFile(kProjectDir / "docs" / "protocol.md"));
  for (const auto& problem : emitted.problems) ADD_FAILURE() << problem;
  EXPECT_TRUE(emitted.warningCodes.count("unusable_segment_left_out"));
  EXPECT_TRUE(emitted.warningCodes.count("trimmed_trailing_silence"));
  for (const auto& code : emitted.warningCodes) {
    EXPECT_TRUE(ref.warningCodes.count(code)) << "docs/protocol.md lists no kelvaro warning code \"" << code << "\"";
  }
  for (const auto& code : ref.warningCodes) {
    EXPECT_TRUE(emitted.warningCodes.count(code))
        << "docs/protocol.md lists \"" << code << "\", which kelvaro never reports";
  }
}

TEST(DocsProtocol, TheReadmeLinksTheReference) {
  EXPECT_NE(testsupport::readFile(kProjectDir / "README.md").find("(docs/protocol.md)"), std::string::npos);
}

}  // namespace
