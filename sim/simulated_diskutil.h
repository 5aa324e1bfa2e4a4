// The simulated diskutil: its read-only property-list answers from the world's disks.
#pragma once

#include <string>
#include <vector>

#include "sim/simulated_tools.h"
#include "sim/world_disks.h"

namespace tidewarden::sim {

// A pending change with this one setting holds the query it falls due with
// (`disk hold-query`): that diskutil answers only once the world's kQueryGateFile exists.
inline constexpr const char* kHoldQuerySetting = "hold";
inline constexpr const char* kQueryGateFile = "query-gate";

// Answers `arguments` as diskutil would on the Mac the world describes, and changes
// `disks` as the run does: the query is recorded in `disks.queries`, and the pending
// changes that fall due with it are applied before the answer is made (a hold is counted
// in disks.heldQueries).
//   list -plist external physical        AllDisksAndPartitions of the external disks
//   info -plist /                        the volume mounted at "/"
//   info -plist /dev/diskN[sM]|/Volumes/X a disk, partition, APFS volume or mounted volume
//   apfs list -plist                     Containers with their physical stores and volumes
// An unknown disk prints "Could not find disk: X" on standard error and exits 1; any
// other invocation prints "diskutil: not simulated yet" and exits 1.
SimulatedToolAnswer answerSimulatedDiskutil(const std::vector<std::string>& arguments, WorldDisks& disks);

}  // namespace tidewarden::sim
