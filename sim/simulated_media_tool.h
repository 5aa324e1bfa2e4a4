// The installers' simulated createinstallmedia: Apple's step lines over a set duration, the renamed volume, the copy.
#pragma once

#include <string>
#include <vector>

namespace tidewarden::sim {

inline constexpr const char* kMediaToolGateFolder = "media-tool-gate";

// Runs as `createinstallmedia --volume MOUNT --nointeraction` of the installer bundle
// at `bundle` (a host path) on the world in `directory`, where MOUNT must be the mount
// point of an external partition: prints "Ready to start.", the erase line with
// percentages on their own lines separated by carriage returns, erasing the volume as one
// named after the installer ("Install macOS Sequoia") that macOS mounts again at
// /Volumes/<that name> (" 1" appended when the path is taken), the essential-files,
// recovery and "Making disk bootable..." lines, the copy line with its percentages while
// it copies the bundle onto the renamed volume, and "Install media now available at
// "<new mount point>"", spread over installers.mediaTool's duration; before it reports
// the end it waits for Disk Arbitration to have answered every pending mount request.
// The world's mediaTool setting makes it fail or hang at a step, print an overlong line
// first, skip the copy (the volume is still erased and renamed), or wait for a gate file
// before each step. Returns the exit status.
int runSimulatedMediaTool(const std::string& directory, const std::string& bundle,
                          const std::vector<std::string>& arguments);

}  // namespace tidewarden::sim
