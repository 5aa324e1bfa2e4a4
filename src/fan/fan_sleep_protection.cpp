// Sleep protection and thermal pressure: the fans go back to System before the Mac sleeps.
#include "fan/fan_control_coordinator.h"

#include <exception>
#include <mutex>

#include "fan/fan_control_error.h"
#include "platform/dispatch_queue.h"
#include "platform/system_power.h"

namespace tidewarden::fan {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

void FanControlCoordinator::installSleepProtection() {
  if (sleepProtectionInstalled_) return;
  platform::SerialQueue* queue = &queue_;
  platform::SystemPower* power = &platform_.power;
  const bool registered = power->registerForSystemPower(
      [link = powerLink_, queue, power](std::uint32_t messageType, std::intptr_t notificationID) {
        if (messageType == platform::kCanSystemSleep) {
          power->allowPowerChange(notificationID);  // sleep is never vetoed
          return;
        }
        if (messageType != platform::kSystemWillSleep && messageType != platform::kSleepProtectionLost) return;
        std::lock_guard lock(link->mutex);
        if (!link->owner) return;
        FanControlCoordinator* coordinator = link->owner;
        if (messageType == platform::kSleepProtectionLost) {
          queue->async([coordinator] { coordinator->sleepProtectionLost(); });
          return;
        }
        // Work queued before the coordinator goes still runs: its destructor waits on the queue.
        queue->async([coordinator, power, notificationID] {
          try {
            coordinator->restoreSystem("System control restored before sleep.");
          } catch (const std::exception&) {
            // restorationPending stays set; the next step tries again.
          }
          power->allowPowerChange(notificationID);
        });
      });
  if (!registered) refuse("Sleep protection could not be installed. Fan overrides remain disabled.");
  sleepProtectionInstalled_ = true;
}

void FanControlCoordinator::sleepProtectionLost() {
  // The next apply registers again, and refuses while that fails.
  sleepProtectionInstalled_ = false;
  if (!lease_) return;
  try {
    restoreSystem(
        "Sleep protection was lost, so control returned to System. New fan overrides are refused until it is "
        "installed again.");
  } catch (const std::exception&) {
    // restorationPending stays set; the next step tries again.
  }
}

bool FanControlCoordinator::thermalPressure() {
  const platform::ThermalState state = platform_.power.thermalState();
  return state == platform::ThermalState::serious || state == platform::ThermalState::critical;
}

}  // namespace tidewarden::fan
