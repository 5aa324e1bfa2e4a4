// The simulated `diskutil info -plist DEV` for the devices of attached disk images.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_tools.h"
#include "sim/world_tools.h"

namespace tidewarden::sim {

// `diskutil info -plist DEV` when DEV (a /dev/ path or its bare name) is a device of an
// attached image: WholeDisk, VirtualOrPhysical ("Virtual", or "Physical" for an image
// attached with --physical), DeviceIdentifier, DeviceNode, ParentWholeDisk,
// MountPoint and the size and content keys. Nothing for any other invocation or device.
std::optional<SimulatedToolAnswer> answerImageDiskInfo(const std::vector<std::string>& arguments,
                                                       const WorldTools& world);

}  // namespace tidewarden::sim
