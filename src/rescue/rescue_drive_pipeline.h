// The creation pipeline of one Rescue Drive operation, run on the background queue.
#pragma once

#include <string>

#include "rescue/rescue_drive_coordinator.h"

namespace tidewarden::rescue {

inline constexpr const char* kCreationStoppedMessage = "Rescue Drive creation stopped; no broader erase was attempted.";
inline constexpr const char* kCancelledMessage = "Creation stopped. No further erase or copy was started.";
inline constexpr const char* kCancelledError =
    "Cancelled. Any formatting that had already begun is not undone; the selected destination may be empty or "
    "incomplete. Refresh Drives before another attempt.";

// Runs operation `operationID` of `coordinator` to one of its final states: source check,
// capacity, revalidation, the approved format, the volume's mount checks,
// createinstallmedia, sibling protection finish and verification. Every state change is
// made under the coordinator's lock; nothing throws out of it.
void runRescueDrivePipeline(RescueDriveCoordinator& coordinator, platform::Platform& platform,
                            const std::string& operationID, const RescueDriveStartRequest& request);

}  // namespace tidewarden::rescue
