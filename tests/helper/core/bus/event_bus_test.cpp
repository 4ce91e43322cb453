#include "helper/core/bus/event_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace helper {
namespace {

// A pipe whose read end the test drains.
class Pipe {
 public:
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    r_ = fds[0];
    w_ = fds[1];
  }
  ~Pipe() {
    if (r_ >= 0) close(r_);
    if (w_ >= 0) close(w_);
  }
  int writeFd() const { return w_; }
  int readFd() const { return r_; }
  void closeWrite() {
    close(w_);
    w_ = -1;
  }
  // Everything until the write end is closed.
  std::vector<nlohmann::json> readAllEvents() {
    std::string all;
    char buf[65536];
    ssize_t n;
    while ((n = read(r_, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    std::vector<nlohmann::json> out;
    size_t start = 0, nl;
    while ((nl = all.find('\n', start)) != std::string::npos) {
      out.push_back(nlohmann::json::parse(all.substr(start, nl - start)));
      start = nl + 1;
    }
    EXPECT_EQ(start, all.size()) << "trailing bytes without newline";
    return out;
  }

 private:
  int r_ = -1, w_ = -1;
};

Event level(int i) { return Event{{"type", "level"}, {"i", i}}; }

TEST(EventBus, DropsOnlyDroppableLinesAndReportsTheCountBeforeTheBatch) {
  Pipe pipe;
  // The reader runs concurrently so the writer never blocks on a full pipe.
  std::vector<nlohmann::json> events;
  std::thread reader([&] { events = pipe.readAllEvents(); });
  {
    EventBus bus(pipe.writeFd());
    // Queued before the writer runs, so the first batch holds them all.
    for (int i = 0; i < 300; ++i) bus.enqueue(level(i));
    bus.start();
    bus.flushAndStop();
  }
  pipe.closeWrite();
  reader.join();
  ASSERT_EQ(events.size(), 257u);
  EXPECT_EQ(events[0]["type"], "warning");
  EXPECT_EQ(events[0]["code"], "events_dropped");
  EXPECT_EQ(events[0]["ctx"], "44 droppable events dropped due to backpressure");
  for (int i = 0; i < 256; ++i) EXPECT_EQ(events[static_cast<size_t>(i) + 1]["i"], i);
}

TEST(EventBus, CriticalLinesSurviveAFloodOfDroppableOnes) {
  Pipe pipe;
  std::vector<nlohmann::json> events;
  std::thread reader([&] { events = pipe.readAllEvents(); });
  {
    EventBus bus(pipe.writeFd());
    for (int i = 0; i < 1000; ++i) {
      bus.enqueue(level(i));
      if (i % 10 == 0) bus.enqueue(Event{{"type", "segment_closed"}, {"i", i}});
    }
    bus.enqueue(Event{{"i", -1}});               // no type: droppable
    bus.enqueue(Event{{"type", 7}, {"i", -2}});  // numeric type: droppable
    bus.start();
    bus.flushAndStop();
  }
  pipe.closeWrite();
  reader.join();
  int closed = 0;
  int levels = 0;
  int dropped = 0;
  for (const auto& e : events) {
    if (e.value("type", "") == "segment_closed") ++closed;
    if (e.value("type", "") == "level") ++levels;
    if (e.value("code", "") == "events_dropped") {
      dropped = std::stoi(e["ctx"].get<std::string>());
    }
    EXPECT_FALSE(e.contains("i") && (e["i"] == -1 || e["i"] == -2)) << e.dump();
  }
  EXPECT_EQ(closed, 100);
  // Droppable lines fill the buffer up to 256 lines (critical ones
  // included); every droppable line is either written or counted.
  EXPECT_LT(levels, 256);
  EXPECT_EQ(levels + dropped, 1000 + 2);
}

TEST(EventBus, CriticalTypesAreExactlyTheTwenty) {
  for (const char* t : {"session_end",
                        "fatal_error",
                        "stop_fence_complete",
                        "pause_fence_complete",
                        "resume_fence_complete",
                        "segment_closed",
                        "capture_started",
                        "segment_opened",
                        "session_start",
                        "helper_ready",
                        "protocol_error",
                        "device_change",
                        "device_changed",
                        "output_device_detected",
                        "output_device_changed",
                        "source_reconnecting",
                        "source_recovered",
                        "source_failed",
                        "warning",
                        "heartbeat"}) {
    EXPECT_TRUE(EventBus::isCriticalEventType(t)) << t;
  }
  for (const char* t : {"level", "progress", "route_trace", "source_overflow", "", "Warning"}) {
    EXPECT_FALSE(EventBus::isCriticalEventType(t)) << t;
  }
}

TEST(EventBus, LinesAreCompactJsonAndNeverLostToBadValues) {
  EXPECT_EQ(EventBus::serializeLine(Event{{"type", "x"}, {"n", 1}}), "{\"n\":1,\"type\":\"x\"}\n");
  // A non-finite number becomes null rather than making the line vanish.
  auto nan = nlohmann::json::parse(
      EventBus::serializeLine(Event{{"type", "segment_closed"}, {"peak", std::numeric_limits<double>::quiet_NaN()}}));
  EXPECT_TRUE(nan["peak"].is_null());
  EXPECT_EQ(nan["type"], "segment_closed");
  auto inf = nlohmann::json::parse(EventBus::serializeLine(Event{{"type", "warning"}, {"v", INFINITY}}));
  EXPECT_TRUE(inf["v"].is_null());
  // Invalid UTF-8 is replaced, not dropped.
  const std::string bad = std::string("dev\xff\xfe") + "ice";
  auto line = EventBus::serializeLine(Event{{"type", "warning"}, {"ctx", bad}});
  auto parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed["ctx"], "dev\uFFFD\uFFFDice");
}

TEST(EventBus, StoppedBusDiscardsEnqueuesButWritesDirectLines) {
  Pipe pipe;
  EventBus bus(pipe.writeFd());
  bus.start();
  bus.flushAndStop();
  bus.enqueue(Event{{"type", "warning"}, {"code", "late"}});
  bus.writeDirectly(Event{{"type", "fatal_error"}, {"reason", "r"}});
  bus.flushAndStop();  // a second stop after the writer ended returns at once
  pipe.closeWrite();
  auto events = pipe.readAllEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["type"], "fatal_error");
}

TEST(EventBus, FlushAndStopOnABusNeverStartedReturns) {
  EventBus bus(-1);
  bus.enqueue(level(1));
  bus.flushAndStop();
  SUCCEED();
}

TEST(EventBus, FlushAndStopReturnsWhileTheWriterIsStuckOnAFullPipe) {
  Pipe pipe;
  std::thread drain;
  {
    EventBus bus(pipe.writeFd());  // nobody reads yet: the writer blocks once the pipe is full
    const std::string big(8192, 'x');
    for (int i = 0; i < 64; ++i) bus.enqueue(Event{{"type", "segment_closed"}, {"pad", big}});
    bus.start();
    bus.flushAndStop();  // bounded wait; the test would hang otherwise
    drain = std::thread([&] { EXPECT_EQ(pipe.readAllEvents().size(), 64u); });
  }  // destruction waits for the now unblocked writer
  pipe.closeWrite();
  drain.join();
}

TEST(EventBus, WritesFromManyProducersArriveWholeAndInOrderPerProducer) {
  Pipe pipe;
  std::vector<nlohmann::json> events;
  std::thread reader([&] { events = pipe.readAllEvents(); });
  {
    EventBus bus(pipe.writeFd());
    bus.start();
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
      producers.emplace_back([&bus, p] {
        for (int i = 0; i < 200; ++i) bus.enqueue(Event{{"type", "heartbeat"}, {"p", p}, {"i", i}});
      });
    }
    for (auto& t : producers) t.join();
    bus.flushAndStop();
  }
  pipe.closeWrite();
  reader.join();
  ASSERT_EQ(events.size(), 800u);
  std::vector<int> next(4, 0);
  for (const auto& e : events) {
    const int p = e["p"];
    EXPECT_EQ(e["i"], next[static_cast<size_t>(p)]++);
  }
}

TEST(RouteTrace, EnvironmentSwitch) {
  const char* name = "VORLANTHEA_ROUTE_TRACE";
  unsetenv(name);
  EXPECT_FALSE(routeTraceEnabledFromEnvironment());
  for (const char* on : {"1", "true", "yes", "Yes", "TRUE"}) {
    setenv(name, on, 1);
    EXPECT_TRUE(routeTraceEnabledFromEnvironment()) << on;
  }
  for (const char* off : {"0", "off", "", "2", "on"}) {
    setenv(name, off, 1);
    EXPECT_FALSE(routeTraceEnabledFromEnvironment()) << off;
  }
  unsetenv(name);
}

TEST(CommandRouting, OnlyHeartbeatStopAndShutdownBypassTheMainQueue) {
  EXPECT_TRUE(commandBypassesMainQueue("heartbeat"));
  EXPECT_TRUE(commandBypassesMainQueue("stop"));
  EXPECT_TRUE(commandBypassesMainQueue("shutdown"));
  EXPECT_FALSE(commandBypassesMainQueue("Stop"));
  EXPECT_FALSE(commandBypassesMainQueue("pause"));
  EXPECT_FALSE(commandBypassesMainQueue(std::nullopt));
}

}  // namespace
}  // namespace helper
