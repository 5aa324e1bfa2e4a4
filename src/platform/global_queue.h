// Process-wide concurrent queues whose pool grows instead of starving when work blocks.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace tidewarden::platform {

// A concurrent pool for long, blocking work (tool runs, scans, a Rescue Drive
// creation). Work never runs on the submitting thread. When work is submitted and no
// worker is idle, another worker is started, up to kMaxWorkers; beyond that, work
// waits in FIFO order for the next free worker. Workers that stay idle for
// kIdleWorkerTimeout exit. Work must not throw.
//
// utility() and background() exist once per process and are never destroyed: they
// are deliberately leaked so that work still running at exit never meets a
// destroyed pool. Other instances (tests) may be destroyed: their workers finish the
// queued work, then exit on their own.
class GlobalQueue {
 public:
  static constexpr size_t kMaxWorkers = 64;
  static constexpr std::chrono::seconds kIdleWorkerTimeout{30};

  static GlobalQueue& utility();
  static GlobalQueue& background();

  explicit GlobalQueue(size_t maxWorkers = kMaxWorkers,
                       std::chrono::nanoseconds idleWorkerTimeout = kIdleWorkerTimeout);
  ~GlobalQueue();
  GlobalQueue(const GlobalQueue&) = delete;
  GlobalQueue& operator=(const GlobalQueue&) = delete;

  void async(std::function<void()> work);

  // Workers alive right now (running work or idle); for tests and diagnostics.
  size_t workerCount() const;

 private:
  struct Pool;
  std::shared_ptr<Pool> pool_;
};

}  // namespace tidewarden::platform
