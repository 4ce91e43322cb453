#pragma once
// Queues, timers, semaphores and named threads for the helper's plumbing.
//
// The main queue runs only while a thread turns it with runMainQueueFor();
// serial queues run their tasks one at a time in order on a thread of
// their own; global queues run each task at once on a pool that grows, so a
// task that blocks for ever never starves the others.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform::dispatch {

using Task = std::function<void()>;

enum class Qos { userInitiated, utility, background };

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  virtual void async(Task task) = 0;
  // Runs the task on the queue and waits for it. Called from a task already
  // running on this queue, it runs the task inline instead of deadlocking.
  void sync(const Task& task);
  // Runs the task on the queue once delayNs have passed.
  void asyncAfter(uint64_t delayNs, Task task);
  // True when the calling thread is running a task of this queue.
  virtual bool isCurrent() const = 0;
  const std::string& label() const { return label_; }

 protected:
  explicit Queue(std::string label) : label_(std::move(label)) {}

 private:
  std::string label_;
};

using QueuePtr = std::shared_ptr<Queue>;

QueuePtr makeSerialQueue(std::string label, Qos qos = Qos::utility);
QueuePtr mainQueue();
QueuePtr globalQueue(Qos qos);

// Runs main-queue tasks on the calling thread until `seconds` have passed.
void runMainQueueFor(double seconds);

class Semaphore {
 public:
  explicit Semaphore(long initial = 0) : count_(initial) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  void wait();
  // Waits at most timeoutNs; true when a signal was taken.
  bool waitForNs(uint64_t timeoutNs);
  bool tryWait();
  // Takes every pending signal; returns how many there were.
  long drain();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  long count_;
};

// A unit of work that can be cancelled before it runs.
class WorkItem {
 public:
  explicit WorkItem(Task task) : task_(std::move(task)) {}
  void cancel() { cancelled_.store(true, std::memory_order_release); }
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Runs the task unless the item was cancelled.
  void perform() const {
    if (!isCancelled()) task_();
  }

 private:
  Task task_;
  std::atomic<bool> cancelled_{false};
};
using WorkItemPtr = std::shared_ptr<WorkItem>;

void asyncAfter(const QueuePtr& queue, uint64_t delayNs, const WorkItemPtr& item);

// A repeating timer whose handler runs on the given queue. Cancelled (and
// never run again) once cancel() returns or the timer is destroyed; a
// handler already running on another thread may still finish.
class Timer {
 public:
  Timer(QueuePtr queue, uint64_t intervalNs, Task handler, uint64_t firstDelayNs = UINT64_MAX);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void cancel();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// Starts a thread with a name visible to debuggers (cut to 15 bytes).
std::thread startNamedThread(const std::string& name, std::function<void()> body);

// Names the calling thread.
void setCurrentThreadName(const std::string& name);

}  // namespace platform::dispatch
