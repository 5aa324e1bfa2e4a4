// What an approved Rescue Drive destination row would erase.
#pragma once

#include <array>
#include <string_view>
#include <utility>

namespace tidewarden::rescue {

enum class RescueDestinationScope {
  partition,         // exactly one partition of a GUID map
  wholeDisk,         // the entire physical disk
  sharedAPFSVolume,  // a volume sharing an APFS container; never erasable
};

inline constexpr std::array<std::pair<RescueDestinationScope, std::string_view>, 3>
    kRescueDestinationScopeRawValues{{
        {RescueDestinationScope::partition, "partition"},
        {RescueDestinationScope::wholeDisk, "wholeDisk"},
        {RescueDestinationScope::sharedAPFSVolume, "sharedAPFSVolume"},
    }};

constexpr const auto& jsonEnumValues(RescueDestinationScope) {
  return kRescueDestinationScopeRawValues;
}

}  // namespace tidewarden::rescue
