#include "platform/dispatch/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace platform::dispatch {
namespace {

constexpr uint64_t kMs = 1'000'000;

TEST(SerialQueue, RunsTasksOneAtATimeInOrder) {
  auto q = makeSerialQueue("test.serial");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 100; ++i) {
    q->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  q->sync([] {});
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncFromItsOwnTaskRunsInline) {
  auto q = makeSerialQueue("test.reentrant");
  bool inner = false;
  q->sync([&] {
    EXPECT_TRUE(q->isCurrent());
    q->sync([&] { inner = true; });
  });
  EXPECT_TRUE(inner);
  EXPECT_FALSE(q->isCurrent());
}

TEST(SerialQueue, DestructionDrainsQueuedTasks) {
  std::atomic<int> ran{0};
  {
    auto q = makeSerialQueue("test.drain");
    for (int i = 0; i < 50; ++i) q->async([&] { ran.fetch_add(1); });
  }
  EXPECT_EQ(ran.load(), 50);
}

TEST(GlobalQueue, ABlockedTaskDoesNotStarveOthers) {
  // Shared with the tasks, which may still be leaving wait() when the test ends.
  auto release = std::make_shared<Semaphore>();
  auto blockedStarted = std::make_shared<Semaphore>();
  auto otherRan = std::make_shared<Semaphore>();
  globalQueue(Qos::utility)->async([=] {
    blockedStarted->signal();
    release->wait();
  });
  blockedStarted->wait();
  globalQueue(Qos::utility)->async([=] { otherRan->signal(); });
  otherRan->wait();  // would hang if the pool did not grow
  release->signal();
}

TEST(MainQueue, RunsOnlyWhileTurnedAndOnTheTurningThread) {
  std::atomic<bool> ran{false};
  std::thread::id ranOn;
  mainQueue()->async([&] {
    ranOn = std::this_thread::get_id();
    ran = true;
  });
  EXPECT_FALSE(ran.load());
  runMainQueueFor(0.05);
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainQueue, SyncFromAnotherThreadWaitsForTheLoop) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    mainQueue()->sync([] {});
    done = true;
  });
  while (!done.load()) runMainQueueFor(0.01);
  t.join();
}

TEST(Semaphore, CountsSignalsAndTimesOut) {
  Semaphore s(0);
  EXPECT_FALSE(s.waitForNs(10 * kMs));
  s.signal();
  s.signal();
  EXPECT_TRUE(s.tryWait());
  EXPECT_TRUE(s.waitForNs(10 * kMs));
  EXPECT_FALSE(s.tryWait());
  s.signal();
  s.signal();
  s.signal();
  EXPECT_EQ(s.drain(), 3);
  EXPECT_FALSE(s.tryWait());
}

TEST(Delayed, AsyncAfterRunsLaterOnTheTargetQueue) {
  auto q = makeSerialQueue("test.after");
  Semaphore done;
  std::atomic<bool> onQueue{false};
  q->asyncAfter(5 * kMs, [&] {
    onQueue = q->isCurrent();
    done.signal();
  });
  done.wait();
  EXPECT_TRUE(onQueue.load());
}

TEST(Delayed, ACancelledWorkItemNeverRuns) {
  auto q = makeSerialQueue("test.cancel");
  std::atomic<bool> ran{false};
  auto item = std::make_shared<WorkItem>([&] { ran = true; });
  asyncAfter(q, 20 * kMs, item);
  item->cancel();
  Semaphore marker;
  q->asyncAfter(60 * kMs, [&] { marker.signal(); });
  marker.wait();
  EXPECT_FALSE(ran.load());
}

TEST(TimerTest, RepeatsUntilCancelled) {
  auto q = makeSerialQueue("test.timer");
  std::atomic<int> ticks{0};
  Semaphore three;
  {
    Timer t(q, 2 * kMs, [&] {
      if (ticks.fetch_add(1) + 1 == 3) three.signal();
    });
    three.wait();
  }
  q->sync([] {});  // a tick already handed to the queue finishes first
  const int after = ticks.load();
  Semaphore later;
  q->asyncAfter(20 * kMs, [&] { later.signal(); });
  later.wait();
  EXPECT_EQ(ticks.load(), after);
}

}  // namespace
}  // namespace platform::dispatch
