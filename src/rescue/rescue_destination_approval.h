// Whether a start request carries an explicit, current approval of exactly one reviewed destination.
#pragma once

#include <cstddef>
#include <string>

#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

inline constexpr const char* kRescueDestinationProtocolVersion = "rescue-destination-scope-v3";
inline constexpr const char* kScopeApprovalMissingMessage =
    "Destination-scope approval is missing or incompatible. No erase was started.";
inline constexpr const char* kFreshApprovalRequiredMessage =
    "A fresh, explicitly scoped destination approval is required.";

// A start request whose strings or layout pass these bounds is refused as a whole.
inline constexpr std::size_t kMaxStartRequestNameBytes = 256;  // names, identifiers, UUIDs, types
inline constexpr std::size_t kMaxStartRequestPathBytes = 1024;  // the installer, a mount point, a reason
inline constexpr std::size_t kMaxStartRequestLayoutEntries = 256;
inline constexpr const char* kInvalidStartRequestMessage = "Invalid Rescue Drive start request.";

// The service's check: every string within its bound (else kInvalidStartRequestMessage),
// the current destination protocol and a confirmed scope equal to the row's. Throws
// RescueDestinationError with kScopeApprovalMissingMessage.
void acceptStartRequestAtService(const RescueDriveStartRequest& request);

// The coordinator's check: the service's conditions, and a row that may be chosen
// (not a shared APFS volume, no unavailable reason). Throws RescueDestinationError with
// kFreshApprovalRequiredMessage.
void acceptStartRequest(const RescueDriveStartRequest& request);

// Immediately before a format command: `identifier` is the whole disk of a "wholeDisk"
// row, or a partition of the row's GUID-mapped parent for a "partition" row. Throws
// RescueDestinationError with the scope's sentence.
void confirmFormatScope(const RescueDestination& destination, const std::string& identifier);

}  // namespace tidewarden::rescue
