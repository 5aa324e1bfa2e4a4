// The growing worker pool behind GlobalQueue.
#include "platform/global_queue.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace tidewarden::platform {

// Shared between the queue object and its workers, so a worker never touches freed
// state even when a test destroys its queue while work is still running.
struct GlobalQueue::Pool {
  size_t maxWorkers;
  std::chrono::nanoseconds idleTimeout;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> pending;
  size_t workers = 0;
  size_t idle = 0;
  bool closing = false;

  static void work(const std::shared_ptr<Pool>& pool) {
    std::unique_lock lock(pool->mutex);
    for (;;) {
      if (!pool->pending.empty()) {
        std::function<void()> item = std::move(pool->pending.front());
        pool->pending.pop_front();
        lock.unlock();
        item();
        item = nullptr;  // release captures before going idle
        lock.lock();
        continue;
      }
      if (pool->closing) break;
      ++pool->idle;
      bool woke = pool->wake.wait_for(lock, pool->idleTimeout,
                                      [&] { return !pool->pending.empty() || pool->closing; });
      --pool->idle;
      if (!woke) break;  // idle for the whole timeout
    }
    --pool->workers;
  }
};

GlobalQueue& GlobalQueue::utility() {
  static GlobalQueue* const queue = new GlobalQueue();  // leaked on purpose, see header
  return *queue;
}

GlobalQueue& GlobalQueue::background() {
  static GlobalQueue* const queue = new GlobalQueue();  // leaked on purpose, see header
  return *queue;
}

GlobalQueue::GlobalQueue(size_t maxWorkers, std::chrono::nanoseconds idleWorkerTimeout)
    : pool_(std::make_shared<Pool>()) {
  pool_->maxWorkers = maxWorkers == 0 ? 1 : maxWorkers;
  pool_->idleTimeout = idleWorkerTimeout;
}

GlobalQueue::~GlobalQueue() {
  {
    std::lock_guard lock(pool_->mutex);
    pool_->closing = true;
  }
  pool_->wake.notify_all();
}

void GlobalQueue::async(std::function<void()> work) {
  bool startWorker = false;
  {
    std::lock_guard lock(pool_->mutex);
    pool_->pending.push_back(std::move(work));
    // Idle workers that were already woken still count as idle until they run; only
    // work beyond what they will take needs a new worker.
    if (pool_->pending.size() > pool_->idle && pool_->workers < pool_->maxWorkers) {
      ++pool_->workers;
      startWorker = true;
    }
  }
  if (startWorker) {
    try {
      std::thread([pool = pool_] { Pool::work(pool); }).detach();
    } catch (const std::system_error&) {
      // Out of threads: the existing workers will get to the work, but with none at
      // all it would wait for ever and its caller with it.
      std::lock_guard lock(pool_->mutex);
      if (--pool_->workers == 0) std::abort();
    }
    pool_->wake.notify_one();
  } else {
    pool_->wake.notify_one();
  }
}

size_t GlobalQueue::workerCount() const {
  std::lock_guard lock(pool_->mutex);
  return pool_->workers;
}

}  // namespace tidewarden::platform
