// Mutual exclusion between local-installer work and Rescue Drive creation.
#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "rescue/rescue_drive_coordinator.h"

namespace tidewarden::helper {

inline constexpr const char* kInstallerOperationBusy =
    "An installer operation is busy. Wait for it to finish before checking or deleting local installers.";
inline constexpr const char* kRescueDriveStillRunning =
    "Rescue Drive creation is still running. The source installer cannot be removed yet.";

// Runs a local-installer scan, deletion or image release while holding the Rescue
// Drive coordinator's lock, taken without waiting, so that no creation can start
// meanwhile; refuses while any recorded creation is unfinished. The lock is held for
// the whole operation and released on every path. Refusals throw
// storage::InstallerSafetyError; whatever `operation` throws passes through.
nlohmann::json runUnderLocalInstallerGuard(rescue::RescueDriveCoordinator& coordinator,
                                           const std::function<nlohmann::json()>& operation);

}  // namespace tidewarden::helper
