#include "platform/dispatch/dispatch.h"

#include <pthread.h>

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

// Tasks run one at a time, in order, on one thread owned by the queue.
class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label) : Queue(std::move(label)) {}

  ~SerialQueue() override {
    {
      std::lock_guard lock(mu_);
      closing_ = true;
    }
    cv_.notify_all();
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
    std::lock_guard lock(mu_);
    tasks_.push_back(std::move(task));
    if (!worker_.joinable()) {
      worker_ = startNamedThread(label(), [this] { run(); });
    }
    cv_.notify_one();
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

 private:
  void run() {
    CurrentQueueScope scope(this);
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // closing and drained
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  bool closing_ = false;
  std::thread worker_;
};

// The main queue: tasks wait until a thread turns it with runMainQueueFor.
class MainQueue final : public Queue {
 public:
  MainQueue() : Queue("com.apple.main-thread") {}

  void async(Task task) override {
    std::lock_guard lock(mu_);
    tasks_.push_back(std::move(task));
    cv_.notify_one();
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

  void runFor(double seconds) {
    CurrentQueueScope scope(this);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    std::unique_lock lock(mu_);
    for (;;) {
      if (!cv_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return;
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      if (std::chrono::steady_clock::now() >= deadline) return;
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
};

// Runs every task at once: an idle worker takes it, or a new one starts.
// Workers live as long as the process; the pool is never destroyed so that
// a blocked task cannot hold up process exit.
class GlobalQueue final : public Queue {
 public:
  explicit GlobalQueue(std::string label) : Queue(std::move(label)) {}

  void async(Task task) override {
    std::lock_guard lock(mu_);
    tasks_.push_back(std::move(task));
    if (idle_ < tasks_.size()) {
      startNamedThread(label(), [this] { run(); }).detach();
      ++idle_;  // the new worker counts as idle until it takes a task
    }
    cv_.notify_one();
  }

  bool isCurrent() const override { return tCurrentQueue == this; }

 private:
  void run() {
    CurrentQueueScope scope(this);
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return !tasks_.empty(); });
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      --idle_;
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  size_t idle_ = 0;
};

// One thread that hands delayed tasks to their queues when they fall due.
class Scheduler {
 public:
  static Scheduler& shared() {
    static Scheduler* s = new Scheduler();  // process lifetime
    return *s;
  }

  void schedule(uint64_t dueNs, QueuePtr queue, Task task) {
    {
      std::lock_guard lock(mu_);
      entries_.push(Entry{dueNs, seq_++, std::move(queue), std::move(task)});
      if (!worker_started_) {
        worker_started_ = true;
        startNamedThread("dispatch-timers", [this] { run(); }).detach();
      }
    }
    cv_.notify_one();
  }

 private:
  struct Entry {
    uint64_t dueNs;
    uint64_t seq;
    QueuePtr queue;
    Task task;
    bool operator>(const Entry& o) const { return dueNs != o.dueNs ? dueNs > o.dueNs : seq > o.seq; }
  };

  void run() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (entries_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const uint64_t now = clock::monotonicNs();
      const uint64_t due = entries_.top().dueNs;
      if (due > now) {
        cv_.wait_for(lock, std::chrono::nanoseconds(due - now));
        continue;
      }
      Entry e = entries_.top();
      entries_.pop();
      lock.unlock();
      e.queue->async(std::move(e.task));
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries_;
  uint64_t seq_ = 0;
  bool worker_started_ = false;
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
