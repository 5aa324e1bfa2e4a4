// Revalidation of a reviewed destination against a fresh inventory, within the inspection budget and the review's lifetime.
#include "rescue/rescue_destination_revalidation.h"

#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"

namespace tidewarden::rescue {

DiskQuery budgetedDiskQuery(DiskQuery inner, platform::Clock& clock, double budgetSeconds) {
  const double deadline = clock.uptime() + budgetSeconds;
  return [inner = std::move(inner), &clock, deadline](const std::vector<std::string>& arguments) {
    if (clock.uptime() > deadline) throw RescueInspectionDeadline(kInspectionTimeLimitMessage);
    return inner(arguments);
  };
}

RescueDestination revalidate(const RescueDriveStartRequest& request, const DiskQuery& query, platform::Clock& clock) {
  if (request.destinationProtocol != kRescueDestinationProtocolVersion) {
    throw RescueDestinationError::refused(kDestinationProtocolMismatchMessage);
  }
  const DiskQuery budgeted = budgetedDiskQuery(query, clock, kDestinationInspectionBudgetSeconds);
  const std::vector<RescueDestination> rows = listDestinations(budgeted, clock.now());
  const RescueDestination& reviewed = request.destination;
  const double age = clock.now() - reviewed.checkedAt.secondsSinceReferenceDate;
  const bool fresh = age >= -kReviewFutureToleranceSeconds && age <= kReviewLifetimeSeconds;
  const bool scoped = request.confirmedScope == reviewed.scope && reviewed.scope != RescueDestinationScope::sharedAPFSVolume;
  if (fresh && scoped) {
    const std::string key = inventoryKey(reviewed);
    for (const RescueDestination& row : rows) {
      if (inventoryKey(row) != key || row.unavailableReason) continue;
      if (row.parent == reviewed.parent && row.partitionMap == reviewed.partitionMap && row.layout == reviewed.layout &&
          row.size == reviewed.size && row.filesystem == reviewed.filesystem && row.mountPoint == reviewed.mountPoint) {
        return row;
      }
    }
  }
  throw RescueDestinationError::refused(kReviewedDestinationChangedMessage);
}

}  // namespace tidewarden::rescue
