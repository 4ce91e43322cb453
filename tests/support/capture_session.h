#pragma once
// A capture-mode run of the built tasmerig, spoken to like a host would.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

// The extra arguments of a capture of both sources (the mic is always on).
inline const std::vector<std::string> kBothSources = {"--include-system", "true"};

class CaptureSession {
 public:
  // Starts `tasmerig --mode capture --session-dir <tmp>/session
  // --include-mic true` plus `extraArgs`, in the simulated world of
  // `scenario` (the default world when null).
  explicit CaptureSession(std::vector<std::string> extraArgs = {}, const nlohmann::json& scenario = nullptr,
                          std::map<std::string, std::string> env = {}) {
    sessionDir_ = dir_.path() / "session";
    testsupport::RunOptions o;
    o.args = {"--mode", "capture", "--session-dir", sessionDir_.string(), "--include-mic", "true"};
    o.args.insert(o.args.end(), extraArgs.begin(), extraArgs.end());
    o.env = std::move(env);
    if (!o.env.count("VORLANTHEA_ROUTE_TRACE")) o.unsetEnv.push_back("VORLANTHEA_ROUTE_TRACE");
    if (!scenario.is_null()) {
      testsupport::writeFile(dir_ / "world.json", scenario.dump());
      o.env["VORLANTHEA_SIM_SCENARIO"] = (dir_ / "world.json").string();
    }
    child_ = std::make_unique<testsupport::Child>(VR_TASMERIG_PATH, o);
  }

  const std::filesystem::path& sessionDir() const { return sessionDir_; }
  testsupport::Child& child() { return *child_; }

  void send(const nlohmann::json& command) { child_->writeStdin(command.dump() + "\n"); }
  void sendRaw(const std::string& text) { child_->writeStdin(text); }

  // The next event of the type; fails the test when none comes in time.
  nlohmann::json waitFor(const std::string& type, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    auto e = child_->waitForEvent(type, timeout);
    EXPECT_TRUE(e.has_value()) << "no \"" << type << "\" event; lines so far:\n" << joined();
    return e.value_or(nlohmann::json::object());
  }

  // Like waitFor, but an event already read (before one waited for
  // since) counts too: for events whose order against others is not fixed,
  // such as a source's "capture_started" beside "helper_ready".
  nlohmann::json waitForSeen(const std::string& type, const std::string& source = "",
                             std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    auto matches = [&](const nlohmann::json& e) {
      return e.value("type", "") == type && (source.empty() || e.value("source", "") == source);
    };
    for (const auto& e : testsupport::parseJsonLines(child_->linesSoFar())) {
      if (matches(e)) return e;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto e = left.count() > 0 ? child_->waitForEvent(type, left) : std::nullopt;
      if (!e) break;
      if (matches(*e)) return *e;
    }
    ADD_FAILURE() << "no \"" << type << "\" event" << (source.empty() ? "" : " of " + source) << "; lines so far:\n"
                  << joined();
    return nlohmann::json::object();
  }

  // Waits for the process to end (closing its standard input first).
  testsupport::RunResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto r = child_->wait(timeout);
    events_ = testsupport::parseJsonLines(child_->linesSoFar());
    return r;
  }
  // Waits for the end without closing standard input (a signal ends the run).
  testsupport::RunResult finishKeepingInput(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto r = child_->wait(timeout, false);
    events_ = testsupport::parseJsonLines(child_->linesSoFar());
    return r;
  }

  // Every event line read so far (after finish(): all of them).
  std::vector<nlohmann::json> events() const {
    return events_.empty() ? testsupport::parseJsonLines(child_->linesSoFar()) : events_;
  }
  std::vector<nlohmann::json> eventsOfType(const std::string& type) const {
    return testsupport::eventsOfType(events(), type);
  }
  std::string joined() const { return child_->joinedLines(); }

 private:
  testsupport::TempDir dir_;
  std::filesystem::path sessionDir_;
  std::unique_ptr<testsupport::Child> child_;
  std::vector<nlohmann::json> events_;
};

}  // namespace testsupport
