#include "helper/selftest/test_report.h"

#include <cstdlib>

#include "helper/core/bus/event_bus.h"
#include "helper/core/bus/fd_write.h"
#include "helper/core/entry/globals.h"

namespace helper {

void TestReport::writeLine(const std::string& line) { writeAll(2, line + "\n"); }

void TestReport::check(const std::string& name, bool ok, const std::string& reason) {
  if (ok) {
    ++passed_;
    writeLine("PASS: " + name);
  } else {
    ++failed_;
    writeLine(reason.empty() ? "FAIL: " + name : "FAIL: " + name + " \u2014 " + reason);
  }
}

void TestReport::checkQuiet(const std::string& name, bool ok) {
  count(ok);
  if (!ok) writeLine("FAIL: " + name);
}

void TestReport::count(bool ok) { ++(ok ? passed_ : failed_); }

void TestReport::finish(const std::string& summaryPrefix) const {
  writeLine(summaryPrefix + std::to_string(passed_) + "/" + std::to_string(passed_ + failed_) + " passed, " +
            std::to_string(failed_) + " failed");
  gEventBus.flushAndStop();
  std::_Exit(failed_ > 0 ? 1 : 0);
}

}  // namespace helper
