// Named serial queues: one worker thread runs submitted work in FIFO order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tidewarden::platform {

// An engine's own queue. Work runs one item at a time on a dedicated thread, in the
// order it was submitted, so state touched only from the queue needs no lock.
// Work must not throw (an escaping exception terminates the process, like any
// uncaught exception on a thread). Destruction runs everything already queued,
// including work that queued work adds, then joins the thread; destroying a queue
// from its own thread is a bug and aborts.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);
  // Queues `work` ahead of all ordinary work still waiting (behind earlier urgent work
  // only), so a periodic safety step never waits behind a backlog of requests; it
  // still never overlaps the item that is running.
  void asyncUrgent(std::function<void()> work);
  // Runs `work` on the queue and returns when it has finished. Calling it from the
  // queue's own thread would wait for itself for ever: that is a bug and aborts.
  void sync(const std::function<void()>& work);
  bool isCurrent() const;
  const std::string& label() const { return label_; }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> urgent_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread worker_;  // last: started once everything above exists
};

}  // namespace tidewarden::platform
