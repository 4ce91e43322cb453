#include "platform/dispatch/dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <queue>
#include <vector>

#include "platform/clock/clock.h"

namespace platform::dispatch {
namespace {

thread_local const Queue* tCurrentQueue = nullptr;

struct CurrentQueueScope {
  explicit CurrentQueueScope(const Queue* q) : saved(tCurrentQueue) { tCurrentQueue = q; }
  ~CurrentQueueScope() { tCurrentQueue = saved; }
  const Queue* saved;
};

constexpr uint64_t kNever = UINT64_MAX;

struct Noop {
  void operator()() const {}
};

// Tasks in the order they came, each due at once.
struct FifoStore {
  std::deque<Task> tasks;

  bool empty() const { return tasks.empty(); }
  uint64_t nextDueNs() const { return tasks.empty() ? kNever : 0; }
  Task take() {
    Task task = std::move(tasks.front());
    tasks.pop_front();
    return task;
  }
};

// Tasks for other queues, taken when they fall due (in the order scheduled
// among equals); taking one hands it to its queue.
struct DueStore {
  struct Entry {
    uint64_t dueNs;
    uint64_t seq;
    QueuePtr queue;
    Task task;
    bool operator>(const Entry& o) const { return dueNs != o.dueNs ? dueNs > o.dueNs : seq > o.seq; }
  };
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries;
  uint64_t seq = 0;

  void push(uint64_t dueNs, QueuePtr queue, Task task) {
    entries.push(Entry{dueNs, seq++, std::move(queue), std::move(task)});
  }
  bool empty() const { return entries.empty(); }
  uint64_t nextDueNs() const { return entries.empty() ? kNever : entries.top().dueNs; }
  Task take() {
    Entry e = entries.top();
    entries.pop();
    return [queue = std::move(e.queue), task = std::move(e.task)]() mutable { queue->async(std::move(task)); };
  }
};

// The core of every queue: a store of tasks under one lock and the loop that
// takes each as it falls due and runs it with the lock released.
template <class Store>
class TaskCore {
 public:
  // Changes the store under the lock (typically adds a task) and wakes the loop.
  template <class Change>
  void update(Change&& change) {
    std::lock_guard lock(mu_);
    change(store_);
    cv_.notify_one();
  }

  // Lets run() return once the store is drained.
  void close() {
    std::lock_guard lock(mu_);
    closing_ = true;
    cv_.notify_all();
  }

  // Runs tasks on the calling thread until the core is closed and drained or
  // `deadlineNs` (monotonic; kNever for none) has passed; at least one task
  // already due runs even past the deadline. onTake and onDone run under the
  // lock just before and after each task.
  template <class OnTake = Noop, class OnDone = Noop>
  void run(uint64_t deadlineNs = kNever, OnTake onTake = {}, OnDone onDone = {}) {
    std::unique_lock lock(mu_);
    for (;;) {
      const uint64_t now = clock::monotonicNs();
      const uint64_t due = store_.nextDueNs();
      if (due <= now) {
        Task task = store_.take();
        onTake();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        onDone();
        if (deadlineNs != kNever && clock::monotonicNs() >= deadlineNs) return;
        continue;
      }
      if (closing_ && store_.empty()) return;
      if (now >= deadlineNs) return;
      const uint64_t until = std::min(due, deadlineNs);
      if (until == kNever) {
        cv_.wait(lock);
      } else {
        cv_.wait_for(lock, std::chrono::nanoseconds(std::min<uint64_t>(until - now, INT64_MAX / 2)));
      }
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  Store store_;
  bool closing_ = false;
};

// Tasks run one at a time, in order, on one thread owned by the queue.
class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label)) {}

  ~SerialQueue() override {
    core_.close();
    if (worker_.joinable()) {
      // The last owner can be a task of this very queue.
      if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
      } else {
        worker_.join();
      }
    }
  }

  void async(Task task) override {
    core_.update([&](FifoStore& store) {
      store.tasks.push_back(std::move(task));
      if (!worker_.joinable()) {
        worker_ = startNamedThread(label(), [this] {
          CurrentQueueScope scope(this);
          core_.run();
        });
      }
    });
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

 private:
  TaskCore<FifoStore> core_;
  std::thread worker_;  // started under the core's lock
};

// The main queue: tasks wait until a thread turns it with runMainQueueFor.
class MainQueue final : public Queue {
 public:
  MainQueue() : Queue("com.apple.main-thread") {}

  void async(Task task) override {
    core_.update([&](FifoStore& store) { store.tasks.push_back(std::move(task)); });
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

  void runFor(double seconds) {
    CurrentQueueScope scope(this);
    const double ns = seconds > 0 ? seconds * 1e9 : 0;
    const uint64_t now = clock::monotonicNs();
    const uint64_t deadline = ns >= static_cast<double>(kNever - now) ? kNever - 1 : now + static_cast<uint64_t>(ns);
    core_.run(deadline);
  }

 private:
  TaskCore<FifoStore> core_;
};

// Runs every task at once: an idle worker takes it, or a new one starts.
// Workers live as long as the process; the pool is never destroyed so that
// a blocked task cannot hold up process exit.
class GlobalQueue final : public Queue {
 public:
  explicit GlobalQueue(std::string label) : Queue(std::move(label)) {}

  void async(Task task) override {
    core_.update([&](FifoStore& store) {
      store.tasks.push_back(std::move(task));
      if (idle_ < store.tasks.size()) {
        startNamedThread(label(), [this] {
          CurrentQueueScope scope(this);
          core_.run(
              kNever, [this] { --idle_; }, [this] { ++idle_; });
        }).detach();
        ++idle_;  // the new worker counts as idle until it takes a task
      }
    });
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

 private:
  TaskCore<FifoStore> core_;
  size_t idle_ = 0;  // guarded by the core's lock
};

// One thread that hands delayed tasks to their queues when they fall due.
class Scheduler {
 public:
  static Scheduler& shared() {
    static Scheduler* s = new Scheduler();  // process lifetime
    return *s;
  }

  void schedule(uint64_t dueNs, QueuePtr queue, Task task) {
    core_.update([&](DueStore& store) {
      store.push(dueNs, std::move(queue), std::move(task));
      if (!workerStarted_) {
        workerStarted_ = true;
        startNamedThread("dispatch-timers", [this] { core_.run(); }).detach();
      }
    });
  }

 private:
  TaskCore<DueStore> core_;
  bool workerStarted_ = false;  // guarded by the core's lock
};

uint64_t dueAfter(uint64_t delayNs) {
  const uint64_t now = clock::monotonicNs();
  return delayNs > UINT64_MAX - now ? UINT64_MAX : now + delayNs;
}

}  // namespace

void Queue::sync(const Task& task) {
  if (isCurrent()) {
    task();
    return;
  }
  Semaphore done;
  async([&] {
    task();
    done.signal();
  });
  done.wait();
}

void Queue::asyncAfter(uint64_t delayNs, Task task) {
  Scheduler::shared().schedule(dueAfter(delayNs), shared_from_this(), std::move(task));
}

QueuePtr makeSerialQueue(std::string label, Qos /*qos*/) { return std::make_shared<SerialQueue>(std::move(label)); }

QueuePtr mainQueue() {
  static QueuePtr* q = new QueuePtr(std::make_shared<MainQueue>());
  return *q;
}

QueuePtr globalQueue(Qos qos) {
  static QueuePtr* user = new QueuePtr(std::make_shared<GlobalQueue>("global.user-initiated"));
  static QueuePtr* utility = new QueuePtr(std::make_shared<GlobalQueue>("global.utility"));
  static QueuePtr* background = new QueuePtr(std::make_shared<GlobalQueue>("global.background"));
  switch (qos) {
    case Qos::userInitiated:
      return *user;
    case Qos::utility:
      return *utility;
    case Qos::background:
      return *background;
  }
  return *utility;
}

void runMainQueueFor(double seconds) { static_cast<MainQueue&>(*mainQueue()).runFor(seconds); }

void Semaphore::signal() {
  // Notify under the lock: a waiter may destroy the semaphore as soon as it
  // sees the count, which must not happen while notify_one still runs.
  std::lock_guard lock(mu_);
  ++count_;
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::waitForNs(uint64_t timeoutNs) {
  std::unique_lock lock(mu_);
  const auto limit = std::chrono::nanoseconds(std::min<uint64_t>(timeoutNs, INT64_MAX / 2));
  if (!cv_.wait_for(lock, limit, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

bool Semaphore::tryWait() {
  std::lock_guard lock(mu_);
  if (count_ <= 0) return false;
  --count_;
  return true;
}

long Semaphore::drain() {
  std::lock_guard lock(mu_);
  const long n = count_ > 0 ? count_ : 0;
  count_ -= n;
  return n;
}

void asyncAfter(const QueuePtr& queue, uint64_t delayNs, const WorkItemPtr& item) {
  Scheduler::shared().schedule(dueAfter(delayNs), queue, [item] { item->perform(); });
}

struct Timer::Shared : std::enable_shared_from_this<Timer::Shared> {
  QueuePtr queue;
  uint64_t intervalNs = 0;
  Task handler;
  std::atomic<bool> cancelled{false};

  void arm(uint64_t delayNs) {
    std::weak_ptr<Shared> weak = shared_from_this();
    Scheduler::shared().schedule(dueAfter(delayNs), queue, [weak] {
      auto self = weak.lock();
      if (!self || self->cancelled.load(std::memory_order_acquire)) return;
      self->handler();
      if (!self->cancelled.load(std::memory_order_acquire)) self->arm(self->intervalNs);
    });
  }
};

Timer::Timer(QueuePtr queue, uint64_t intervalNs, Task handler, uint64_t firstDelayNs)
    : shared_(std::make_shared<Shared>()) {
  shared_->queue = std::move(queue);
  shared_->intervalNs = intervalNs;
  shared_->handler = std::move(handler);
  shared_->arm(firstDelayNs == UINT64_MAX ? intervalNs : firstDelayNs);
}

Timer::~Timer() { cancel(); }

void Timer::cancel() { shared_->cancelled.store(true, std::memory_order_release); }

void setCurrentThreadName(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

std::thread startNamedThread(const std::string& name, std::function<void()> body) {
  return std::thread([name, body = std::move(body)] {
    setCurrentThreadName(name);
    body();
  });
}

}  // namespace platform::dispatch
