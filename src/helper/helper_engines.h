// The process-wide engines and work queues shared by every service object.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include "fan/fan_control_coordinator.h"
#include "installers/prepared_installer_engine.h"
#include "platform/dispatch_queue.h"
#include "platform/global_queue.h"
#include "platform/platform.h"
#include "quarantine/quarantine_restart_recovery.h"
#include "rescue/rescue_drive_coordinator.h"
#include "storage/interrupted_installer_engine.h"

namespace tidewarden::helper {

// Created once per process, before the listener is resumed, and shared by every
// connection's service. Work handed to a queue through `dispatch` is counted, and
// destruction waits for it, so queued work never outlives the engines it uses (the
// production helper never destroys them; the simulator and tests do).
class HelperEngines {
 public:
  static constexpr const char* kFanQueueLabel = "com.ambergrove.Tidewarden.fan-lease";
  static constexpr const char* kInterruptedInstallersQueueLabel = "com.ambergrove.Tidewarden.interrupted-installers";

  explicit HelperEngines(platform::Platform& platform);
  ~HelperEngines();
  HelperEngines(const HelperEngines&) = delete;
  HelperEngines& operator=(const HelperEngines&) = delete;

  platform::Platform& platform;
  rescue::RescueDriveCoordinator rescueDriveCoordinator{platform};
  platform::SerialQueue fanQueue{kFanQueueLabel};
  platform::SerialQueue interruptedInstallersQueue{kInterruptedInstallersQueueLabel};
  // All fan state, confined to the fan queue; destroyed before the queue.
  fan::FanControlCoordinator fanControlCoordinator{platform, fanQueue};
  // Download scans, their approvals and removals, confined to the interrupted-installer queue.
  storage::InterruptedInstallerEngine interruptedInstallerEngine{platform, interruptedInstallersQueue};
  // Quarantines a previous helper left unfinished; quarantine and restore wait for it.
  quarantine::QuarantineRestartRecovery quarantineRecovery{platform};
  // Local-installer reviews, image releases and deletions (on the utility queue, under the guard).
  installers::PreparedInstallerEngine preparedInstallerEngine{platform};

  // Runs `work` on the fan queue, the interrupted-installer queue or the global
  // utility queue, counted as outstanding work until it returns.
  void onFanQueue(std::function<void()> work);
  void onInterruptedInstallersQueue(std::function<void()> work);
  void onUtilityQueue(std::function<void()> work);

 private:
  std::function<void()> counted(std::function<void()> work);

  std::mutex mutex_;
  std::condition_variable idle_;
  int outstanding_ = 0;
};

}  // namespace tidewarden::helper
