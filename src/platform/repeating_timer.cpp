// The clock thread behind RepeatingTimer: waits for deadlines, enqueues at most one tick.
#include "platform/repeating_timer.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch_queue.h"

namespace tidewarden::platform {

// Shared with the ticks on the queue, which may run after the timer is gone.
struct RepeatingTimer::State {
  std::chrono::nanoseconds interval;
  std::chrono::nanoseconds leeway;
  std::function<void()> handler;
  mutable std::mutex mutex;
  std::condition_variable wake;
  bool resumed = false;
  bool cancelled = false;
  bool tickWaiting = false;
  uint64_t expirations = 0;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                               std::chrono::nanoseconds leeway, std::function<void()> handler)
    : queue_(queue), state_(std::make_shared<State>()) {
  if (interval <= std::chrono::nanoseconds::zero()) std::abort();  // a zero interval would spin
  state_->interval = interval;
  state_->leeway = leeway;
  state_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::resume() {
  std::lock_guard lock(state_->mutex);
  if (state_->resumed || state_->cancelled) return;
  state_->resumed = true;
  clock_ = std::thread([this] { runClock(); });
}

void RepeatingTimer::cancel() {
  {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
  }
  state_->wake.notify_all();
  // Only the clock thread enqueues ticks; once it has been joined none can follow.
  // It never blocks on the queue, so joining from the handler (on the queue) is safe.
  if (clock_.joinable() && clock_.get_id() != std::this_thread::get_id()) clock_.join();
}

uint64_t RepeatingTimer::expirationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->expirations;
}

void RepeatingTimer::runClock() {
  using Clock = std::chrono::steady_clock;
  std::shared_ptr<State> state = state_;
  Clock::time_point deadline = Clock::now() + state->interval;
  std::unique_lock lock(state->mutex);
  for (;;) {
    if (state->wake.wait_until(lock, deadline, [&] { return state->cancelled; })) return;
    ++state->expirations;
    if (!state->tickWaiting) {
      state->tickWaiting = true;
      queue_.asyncUrgent([state] {
        {
          std::lock_guard tickLock(state->mutex);
          state->tickWaiting = false;
          if (state->cancelled) return;
        }
        state->handler();
      });
    }
    // Fixed rate; deadlines missed while this thread was descheduled collapse into
    // the tick just taken rather than firing in a burst.
    deadline += state->interval;
    Clock::time_point now = Clock::now();
    if (deadline <= now) {
      auto missed = (now - deadline) / state->interval + 1;
      state->expirations += static_cast<uint64_t>(missed);
      deadline += missed * state->interval;
    }
  }
}

}  // namespace tidewarden::platform
