// Mutual exclusion between local-installer work and Rescue Drive creation.
#include "helper/local_installer_guard.h"

#include <mutex>

#include "storage/installer_safety_error.h"

namespace tidewarden::helper {

nlohmann::json runUnderLocalInstallerGuard(rescue::RescueDriveCoordinator& coordinator,
                                           const std::function<nlohmann::json()>& operation) {
  std::unique_lock lock(coordinator.lock, std::try_to_lock);
  if (!lock.owns_lock()) throw storage::InstallerSafetyError(kInstallerOperationBusy);
  for (const auto& [id, recorded] : coordinator.operations) {
    if (!recorded.finished) throw storage::InstallerSafetyError(kRescueDriveStillRunning);
  }
  return operation();
}

}  // namespace tidewarden::helper
