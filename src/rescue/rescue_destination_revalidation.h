// Proof, just before anything is written, that the reviewed destination is still the same device, partition and layout.
#pragma once

#include "platform/clock.h"
#include "rescue/rescue_disk_query.h"
#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

inline constexpr double kDestinationInspectionBudgetSeconds = 90;
inline constexpr double kReviewLifetimeSeconds = 600;
inline constexpr double kReviewFutureToleranceSeconds = 5;

inline constexpr const char* kDestinationProtocolMismatchMessage = "The destination protocol does not match this helper.";
inline constexpr const char* kInspectionTimeLimitMessage =
    "Destination inspection exceeded its time limit. No additional action was started.";
inline constexpr const char* kReviewedDestinationChangedMessage =
    "The reviewed destination is no longer the same eligible device/partition, its mount state changed, or the "
    "review expired. No additional disk operation was started. Refresh Drives and review it again.";

// `inner`, refusing with kInspectionTimeLimitMessage any query asked once `clock`'s
// uptime has passed now + `budgetSeconds`.
DiskQuery budgetedDiskQuery(DiskQuery inner, platform::Clock& clock, double budgetSeconds);

// Rebuilds the inventory (all its queries within the 90 s budget) and returns the fresh
// row equal to the reviewed one. Refuses (RescueDestinationError) a foreign protocol, a
// whole-tree failure with its own message, and any difference, a review older than 600 s
// or more than 5 s in the future, or a row that may not be chosen with
// kReviewedDestinationChangedMessage. The review's age is measured on `clock`'s wall time.
RescueDestination revalidate(const RescueDriveStartRequest& request, const DiskQuery& query, platform::Clock& clock);

}  // namespace tidewarden::rescue
