// The simulated commands that change disks: diskutil eraseDisk, eraseVolume and mount; createinstallmedia's erase.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_tools.h"

namespace tidewarden::sim {

// The file in the world's folder that a gated erase waits for, and how long it waits.
inline constexpr const char* kEraseGateFile = "erase-gate";
inline constexpr int kEraseGateBoundSeconds = 120;

// Answers, for the world in `directory` (its root folder included):
//   eraseDisk JHFS+ NAME GPT /dev/diskN    a new GUID map: EFI and one HFS partition NAME
//                                          over the rest, mounted at /Volumes/NAME
//   eraseVolume JHFS+ NAME /dev/diskNsM    the partition becomes Apple_HFS/hfs named NAME
//                                          with a new volume UUID, keeping its start, UUID
//                                          and siblings, shrunk by disks.conversionShrinkBytes,
//                                          mounted at /Volumes/NAME
//   mount /dev/diskNsM                     mounts the partition at /Volumes/<its name>
// An erase posts, as macOS does, a Disk Arbitration request to mount every unmounted
// sibling that holds a file system. While disks.eraseHangs is set an erase never ends
// and changes nothing; while disks.eraseGated is set an erase or mount first waits for
// kEraseGateFile.
// Nothing for any other invocation.
std::optional<SimulatedToolAnswer> answerDiskutilChange(const std::string& directory,
                                                        const std::vector<std::string>& arguments);

// What createinstallmedia does to the external volume mounted at `mountPoint`: it erases
// it as a new volume named `name` (a new volume UUID, the partition unchanged) and macOS
// remounts it at /Volumes/NAME, or at "/Volumes/NAME 1" (2, ...) when that path is taken
// by a mount or exists in the root; the old mount folder goes, the new one starts empty.
// Returns the new mount point; nothing when no external partition is mounted at
// `mountPoint` (nothing changed) or no free path was found (left unmounted).
std::optional<std::string> eraseAndRenameMountedVolume(const std::string& directory, const std::string& mountPoint,
                                                       const std::string& name);

}  // namespace tidewarden::sim
