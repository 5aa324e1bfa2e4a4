// The machine's real clocks.
#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace tidewarden::platform {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceDateOffset;
  }
  double uptime() override {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  void sleepFor(double seconds) override {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

}  // namespace

std::unique_ptr<Clock> makeSystemClock() { return std::make_unique<SystemClock>(); }

}  // namespace tidewarden::platform
