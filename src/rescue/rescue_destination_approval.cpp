// Acceptance of a start request's destination approval (service and coordinator layers) and the scope confirmation before a format.
#include "rescue/rescue_destination_approval.h"

#include <algorithm>

#include "platform/regex.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_partition_eligibility.h"

namespace tidewarden::rescue {
namespace {

bool scopeConfirmed(const RescueDriveStartRequest& request) {
  return request.destinationProtocol == kRescueDestinationProtocolVersion &&
         request.confirmedScope == request.destination.scope;
}

bool withinBounds(const RescueDriveStartRequest& request) {
  const RescueDestination& row = request.destination;
  const auto name = [](const std::string& text) { return text.size() <= kMaxStartRequestNameBytes; };
  const auto path = [](const std::string& text) { return text.size() <= kMaxStartRequestPathBytes; };
  const RescuePhysicalIdentity& parent = row.parent;
  bool within = path(request.installerPath) && name(request.destinationProtocol) && name(row.diskIdentifier) &&
                name(row.mediaName) && name(row.filesystem) && path(row.mountPoint.value_or("")) &&
                name(parent.identifier) && name(parent.mediaName) && path(parent.registryPath) && name(parent.bus) &&
                name(row.partitionMap) && path(row.unavailableReason.value_or("")) &&
                row.layout.size() <= kMaxStartRequestLayoutEntries;
  for (const RescuePartitionIdentity& part : row.layout) {
    within = within && name(part.identifier) && name(part.partitionUUID) && name(part.content) &&
             name(part.volumeUUID) && name(part.name);
  }
  return within;
}

}  // namespace

void acceptStartRequestAtService(const RescueDriveStartRequest& request) {
  if (!withinBounds(request)) throw RescueDestinationError::refused(kInvalidStartRequestMessage);
  if (!scopeConfirmed(request)) throw RescueDestinationError::refused(kScopeApprovalMissingMessage);
}

void acceptStartRequest(const RescueDriveStartRequest& request) {
  if (!withinBounds(request)) throw RescueDestinationError::refused(kInvalidStartRequestMessage);
  if (!scopeConfirmed(request) || request.destination.scope == RescueDestinationScope::sharedAPFSVolume ||
      request.destination.unavailableReason) {
    throw RescueDestinationError::refused(kFreshApprovalRequiredMessage);
  }
}

void confirmFormatScope(const RescueDestination& destination, const std::string& identifier) {
  static const platform::Regex wholeDisk = *platform::Regex::compile("^disk[0-9]{1,5}$");
  static const platform::Regex partition = *platform::Regex::compile("^disk[0-9]{1,5}s[0-9]{1,5}$");
  if (destination.scope == RescueDestinationScope::wholeDisk) {
    if (identifier != destination.parent.identifier || !wholeDisk.matches(identifier)) {
      throw RescueDestinationError::refused("The whole-disk confirmation does not match the physical disk.");
    }
    return;
  }
  const bool inLayout = std::any_of(destination.layout.begin(), destination.layout.end(),
                                    [&](const RescuePartitionIdentity& part) { return part.identifier == identifier; });
  if (destination.scope != RescueDestinationScope::partition || destination.partitionMap != kGuidPartitionScheme ||
      !partition.matches(identifier) || identifier != destination.diskIdentifier || !inLayout ||
      identifier.rfind(destination.parent.identifier + "s", 0) != 0) {
    throw RescueDestinationError::refused(
        "A selected-partition action requires a verified GUID partition, not a whole disk or container.");
  }
}

}  // namespace tidewarden::rescue
