// `tidewarden-sim world disk …`: external disks, their partitions and mounts on the simulated Mac.
#pragma once

#include <string>
#include <string_view>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

inline constexpr std::string_view kDiskVerbSynopsis =
    "disk add --preset usb-32g-gpt|usb-15g9|usb-32g-fdisk|usb-64g-two-partitions|usb-apfs|usb-readonly|\n"
    "            external-startup\n"
    "  disk remove DISK | disk set DISK|PART KEY=VALUE... [--after-queries N]\n"
    "  disk mount PART|VOLUME [--at PATH] | disk unmount PART|VOLUME";
inline constexpr std::string_view kDiskVerbSummary =
    "plug in a typical external disk (prints its identifier), unplug one, change a disk's or partition's\n"
    "      facts now or just before diskutil answers its Nth query from now, ask Disk Arbitration to mount a\n"
    "      partition (prints the request id; a running helper's approval callback may refuse it, show lists\n"
    "      the outcome under disks.mountOutcomes), or unmount one";

// Runs one `disk` sub-verb on the simulator directory `directory`. Throws
// WorldVerbUsageError for a malformed command line and WorldError when the change
// cannot be made; nothing is changed then.
void runDiskVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
