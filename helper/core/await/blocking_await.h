#pragma once
// Runs an operation that only the platform's task pool may carry out and
// blocks the calling thread until it has produced a value or an error, so
// sequential code can use it like a plain call. There is no time-out and no
// cancellation: a hung operation blocks the caller for good.
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

// The box through which the result crosses from the task to the waiter.
template <typename T>
class BlockingAsyncResult {
 public:
  using Result = std::variant<T, std::exception_ptr>;

  void store(Result result) {
    std::lock_guard<std::mutex> hold(lock_);
    result_ = std::move(result);
  }
  // A copy of what was stored (nothing before the store); the box keeps it.
  std::optional<Result> take() const {
    std::lock_guard<std::mutex> hold(lock_);
    return result_;
  }

 private:
  mutable std::mutex lock_;
  std::optional<Result> result_ VR_GUARDED_BY(lock_);
};

template <typename T>
T blockingAwait(std::function<T()> operation) {
  auto semaphore = std::make_shared<platform::dispatch::Semaphore>(0);
  auto box = std::make_shared<BlockingAsyncResult<T>>();
  platform::dispatch::globalQueue(platform::dispatch::Qos::userInitiated)
      ->async([box, semaphore, operation = std::move(operation)]() mutable {
        try {
          box->store(typename BlockingAsyncResult<T>::Result(std::in_place_index<0>, operation()));
        } catch (...) {
          box->store(typename BlockingAsyncResult<T>::Result(std::in_place_index<1>, std::current_exception()));
        }
        // Before the signal, the task lets go of the box and the operation:
        // the waiter then owns the result alone, and a stored error is freed
        // on its thread after its reads, never on this one while it reads.
        box.reset();
        operation = nullptr;
        // After the store, so the waiter always finds a result.
        semaphore->signal();
      });
  semaphore->wait();
  std::optional<typename BlockingAsyncResult<T>::Result> result = box->take();
  if (!result) std::abort();  // the task stores before it signals
  if (result->index() == 1) std::rethrow_exception(std::get<1>(*result));
  return std::move(std::get<0>(*result));
}

}  // namespace helper
