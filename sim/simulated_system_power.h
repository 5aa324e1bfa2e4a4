// Thermal pressure and sleep notices of the simulated Mac, taken from the world.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/system_power.h"

namespace tidewarden::sim {

// The thermal state is the world's at each question. Once a handler is registered, a
// thread of its own takes the notices sent with `tidewarden-sim world power` out of the
// world's pending list (every 50 ms) and delivers them in order; each answer is added
// to the world's allowed list, which `world show` prints. The thread stops when this
// object is destroyed. A later registration replaces the handler (a helper started
// again on the same simulated Mac).
class SimulatedSystemPower final : public platform::SystemPower {
 public:
  static constexpr std::chrono::milliseconds kPollInterval{50};

  explicit SimulatedSystemPower(std::string worldDirectory);
  ~SimulatedSystemPower() override;

  platform::ThermalState thermalState() override;
  bool registerForSystemPower(Handler handler) override;
  void allowPowerChange(std::intptr_t notificationID) override;

 private:
  void deliver();

  const std::string worldDirectory_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  Handler handler_;  // the latest registration; a later one replaces it
  std::thread thread_;
};

}  // namespace tidewarden::sim
