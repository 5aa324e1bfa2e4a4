// A steady-clock repeating timer that delivers its ticks onto a serial queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace tidewarden::platform {

class SerialQueue;

// Runs `handler` on `queue` every `interval` once resumed, the first time one
// interval after resume(). Ticks take the queue's urgent lane: they wait for the item
// running, never for work queued behind it. Ticks are fixed-rate on the steady clock; at most one tick
// is ever waiting on the queue, so while the queue is busy further ticks coalesce
// into the one already waiting instead of piling up. `leeway` is how late a tick may
// be; ticks are never early.
//
// cancel() is idempotent; when it returns no tick will be enqueued any more, and a
// tick still waiting on the queue will not call the handler. Called on the queue
// itself (the usual case, also from inside the handler) that means no handler call
// follows it; called from another thread, a handler that had already started may
// still be running. The destructor cancels. resume(), cancel() and destruction are
// made by one owner at a time; the queue must outlive the timer.
class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
                 std::function<void()> handler);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // Starts the timer; later calls, and calls after cancel(), do nothing.
  void resume();
  void cancel();

  // Deadlines that have passed so far, including those coalesced into a waiting
  // tick; for tests and diagnostics.
  uint64_t expirationCount() const;

 private:
  struct State;
  void runClock();

  SerialQueue& queue_;
  std::shared_ptr<State> state_;
  std::thread clock_;
};

}  // namespace tidewarden::platform
