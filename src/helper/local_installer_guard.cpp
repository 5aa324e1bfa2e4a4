// Mutual exclusion between local-installer work and Rescue Drive creation.
#include "helper/local_installer_guard.h"

#include <mutex>

#include "storage/installer_safety_error.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::helper {

nlohmann::json runUnderLocalInstallerGuard(rescue::RescueDriveCoordinator& coordinator,
                                           const platform::Platform& platform,
                                           const std::function<nlohmann::json()>& operation) {
  std::unique_lock lock(coordinator.lock, std::try_to_lock);
  if (!lock.owns_lock()) throw storage::InstallerSafetyError(kInstallerOperationBusy);
  for (const auto& [id, recorded] : coordinator.operations) {
    if (!recorded.finished) throw storage::InstallerSafetyError(kRescueDriveStillRunning);
  }
  // Declared after the lock, so it is released before the lock on every path.
  const storage::PreparationStorageGate gate = storage::PreparationStorageGate::open(platform);
  return operation();
}

}  // namespace tidewarden::helper
