// Mutual exclusion between local-installer work and Rescue Drive creation.
#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "rescue/rescue_drive_coordinator.h"

namespace tidewarden::helper {

inline constexpr const char* kInstallerOperationBusy =
    "An installer operation is busy. Wait for it to finish before checking or deleting local installers.";
inline constexpr const char* kRescueDriveStillRunning =
    "Rescue Drive creation is still running. The source installer cannot be removed yet.";

// Runs a local-installer scan, deletion or image release with the Rescue Drive
// coordinator's `localInstallerWorkRunning` set, so that no creation can start
// meanwhile; refuses while it is already set (another local-installer operation runs)
// or any recorded creation is unfinished. Then takes the
// preparation storage gate, so no preparation, preflight or preparation cleanup runs
// beside it either; the gate's own refusal is passed on. Both are held for the whole
// operation and released on every path, the gate first. Refusals throw
// storage::InstallerSafetyError; whatever `operation` throws passes through.
nlohmann::json runUnderLocalInstallerGuard(rescue::RescueDriveCoordinator& coordinator,
                                           const platform::Platform& platform,
                                           const std::function<nlohmann::json()>& operation);

}  // namespace tidewarden::helper
