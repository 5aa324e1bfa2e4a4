// The process-wide engines and work queues shared by every service object.
#include "helper/helper_engines.h"

namespace tidewarden::helper {

HelperEngines::HelperEngines(platform::Platform& platform) : platform(platform) {}

HelperEngines::~HelperEngines() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return outstanding_ == 0; });
}

std::function<void()> HelperEngines::counted(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    ++outstanding_;
  }
  return [this, work = std::move(work)] {
    work();
    std::lock_guard lock(mutex_);
    if (--outstanding_ == 0) idle_.notify_all();
  };
}

void HelperEngines::onFanQueue(std::function<void()> work) { fanQueue.async(counted(std::move(work))); }

void HelperEngines::onInterruptedInstallersQueue(std::function<void()> work) {
  interruptedInstallersQueue.async(counted(std::move(work)));
}

void HelperEngines::onUtilityQueue(std::function<void()> work) {
  platform::GlobalQueue::utility().async(counted(std::move(work)));
}

}  // namespace tidewarden::helper
