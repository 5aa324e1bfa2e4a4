// One Rescue Drive destination row: what the user reviewed and the helper re-checks.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/json_codec.h"
#include "rescue/rescue_destination_scope.h"
#include "rescue/rescue_partition_identity.h"
#include "rescue/rescue_physical_identity.h"

namespace tidewarden::rescue {

// A candidate destination, offered or refused with its reason. The application sends the
// row the user chose; the helper compares it with a fresh inventory before any erase.
struct RescueDestination {
  // what an approval of this row would erase
  RescueDestinationScope scope = RescueDestinationScope::partition;
  std::string diskIdentifier;                    // the partition, or the whole disk for wholeDisk
  std::string mediaName;                         // display name
  std::int64_t size = 0;                         // bytes of the partition or disk
  std::string filesystem;                        // filesystem personality
  std::optional<std::string> mountPoint;         // current mount point
  RescuePhysicalIdentity parent;                 // the physical disk
  std::string partitionMap;                      // partition scheme of the parent
  std::vector<RescuePartitionIdentity> layout;   // every partition of the parent, in map order
  std::optional<std::string> unavailableReason;  // present when the row may not be chosen
  platform::json::Date checkedAt;                // when the row was built

  // Strict decoding; throws platform::json::DecodeError.
  static RescueDestination fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueDestination&, const RescueDestination&) = default;
};

}  // namespace tidewarden::rescue
