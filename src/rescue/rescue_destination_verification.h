// Proof after a format and after creation that exactly the approved extent changed.
#pragma once

#include <cstdint>
#include <string>

#include "rescue/rescue_disk_query.h"
#include "rescue/rescue_messages.h"
#include "rescue/rescue_sibling_mount_protection.h"

namespace tidewarden::rescue {

inline constexpr const char* kVerificationPrefix = "Destination verification stopped: ";
inline constexpr const char* kVerificationSuffix =
    " No additional erase, resize, repartition or installer copy was started. Refresh Drives before another attempt.";
inline constexpr const char* kPartitionIdentityChanged =
    "The selected partition\u2019s persistent identity changed or disappeared.";

// For a "partition" destination: the same parent, map, partition identity and start, a
// size that did not grow (and changed only when `conversionRan`, the eraseVolume step)
// and reaches `requirementBytes`, as many map entries, an HFS volume, and every sibling
// of `snapshot` exactly once and unchanged. Returns the partition's size now. Every
// refusal is RescueDriveError::invalidDisk with a text that begins kVerificationPrefix.
std::int64_t verifyFormattedPartition(const RescueDestination& reviewed, const RescueSiblingMountSnapshot& snapshot,
                                      std::int64_t requirementBytes, bool conversionRan, const DiskQuery& query);

// The note a successful creation adds when the conversion shrank the partition.
std::string extentDecreasedNote(std::int64_t sizeBefore, std::int64_t sizeAfter);

}  // namespace tidewarden::rescue
