// Mutual exclusion between local-installer work and Rescue Drive creation.
#include "helper/local_installer_guard.h"

#include <mutex>

#include "storage/installer_safety_error.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::helper {

nlohmann::json runUnderLocalInstallerGuard(rescue::RescueDriveCoordinator& coordinator,
                                           const platform::Platform& platform,
                                           const std::function<nlohmann::json()>& operation) {
  {
    // The lock is held for moments only, so Rescue Drive status and cancel never wait
    // for a local-installer operation; the mark excludes for the operation's whole run.
    std::lock_guard lock(coordinator.lock);
    if (coordinator.localInstallerWorkRunning) throw storage::InstallerSafetyError(kInstallerOperationBusy);
    for (const auto& [id, recorded] : coordinator.operations) {
      if (!recorded.finished) throw storage::InstallerSafetyError(kRescueDriveStillRunning);
    }
    coordinator.localInstallerWorkRunning = true;
  }
  struct Unmark {
    rescue::RescueDriveCoordinator& coordinator;
    ~Unmark() {
      std::lock_guard lock(coordinator.lock);
      coordinator.localInstallerWorkRunning = false;
    }
  } unmark{coordinator};
  // Declared after the mark, so it is released before the mark on every path.
  const storage::PreparationStorageGate gate = storage::PreparationStorageGate::open(platform);
  return operation();
}

}  // namespace tidewarden::helper
