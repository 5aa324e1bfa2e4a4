// The worker loop behind SerialQueue.
#include "platform/dispatch_queue.h"

#include <pthread.h>

#include <cstdlib>

namespace tidewarden::platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
  if (isCurrent()) std::abort();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::asyncUrgent(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    urgent_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
  if (isCurrent()) std::abort();
  std::mutex doneMutex;
  std::condition_variable doneSignal;
  bool done = false;
  async([&] {
    work();
    // Notify while holding the lock: the waiter's stack frame (and this condition
    // variable) may vanish the moment it sees `done`.
    std::lock_guard lock(doneMutex);
    done = true;
    doneSignal.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneSignal.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

void SerialQueue::run() {
  // Thread names are limited to 15 bytes; the tail of a reverse-DNS label is the telling part.
  constexpr size_t kThreadNameBytes = 15;
  std::string name = label_.size() > kThreadNameBytes ? label_.substr(label_.size() - kThreadNameBytes) : label_;
  pthread_setname_np(pthread_self(), name.c_str());

  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !urgent_.empty() || !pending_.empty(); });
    if (urgent_.empty() && pending_.empty()) return;  // stopping and drained
    auto& lane = urgent_.empty() ? pending_ : urgent_;
    std::function<void()> work = std::move(lane.front());
    lane.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // release captured state outside the lock, before the next item
    lock.lock();
  }
}

}  // namespace tidewarden::platform
