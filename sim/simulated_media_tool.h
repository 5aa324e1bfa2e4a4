// The installers' simulated createinstallmedia: Apple's step lines over a set duration, then the copy.
#pragma once

#include <string>
#include <vector>

namespace tidewarden::sim {

inline constexpr const char* kMediaToolGateFolder = "media-tool-gate";

// Runs as `createinstallmedia --volume MOUNT --nointeraction` of the installer bundle
// at `bundle` (a host path) on the world in `directory`: prints "Ready to start.", the
// erase line with percentages on their own lines separated by carriage returns, the
// essential-files, recovery and "Making disk bootable..." lines, the copy line with its
// percentages while it copies the bundle to MOUNT, and "Install media now available at
// ...", spread over installers.mediaTool's duration; before it reports the end it waits
// for Disk Arbitration to have answered every pending mount request. The world's
// mediaTool setting makes it fail or hang at a step, print an overlong line first, skip
// the copy, or wait for a gate file before each step. Returns the exit status.
int runSimulatedMediaTool(const std::string& directory, const std::string& bundle,
                          const std::vector<std::string>& arguments);

}  // namespace tidewarden::sim
