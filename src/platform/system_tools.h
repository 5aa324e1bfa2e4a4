// Every system tool the helper runs, with its arguments and time limit, in one place.
// Callers name an invocation here and never spell a tool's path or arguments themselves.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::platform {

// One invocation of a system tool: an absolute executable path and an argument vector
// (never a shell), and the time limit after which the runner stops the child.
// No limit (nullopt) means the child runs until it exits or is cancelled.
struct ToolCommand {
  std::string executable;
  std::vector<std::string> arguments;
  std::optional<double> timeLimitSeconds;

  friend bool operator==(const ToolCommand&, const ToolCommand&) = default;
};

// The environment of every child: exactly these two variables, nothing inherited.
inline const std::vector<std::string>& toolEnvironment() {
  static const std::vector<std::string> environment{"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "LC_ALL=C"};
  return environment;
}

namespace tools {

// The tools' absolute logical paths (resolved beneath the platform's root).
inline constexpr std::string_view kLsof = "/usr/sbin/lsof";
inline constexpr std::string_view kPs = "/bin/ps";
inline constexpr std::string_view kHdiutil = "/usr/bin/hdiutil";
inline constexpr std::string_view kDiskutil = "/usr/sbin/diskutil";
inline constexpr std::string_view kPkgutil = "/usr/sbin/pkgutil";
inline constexpr std::string_view kLaunchctl = "/bin/launchctl";
// Inside an installer application bundle.
inline constexpr std::string_view kCreateInstallMediaInBundle = "/Contents/Resources/createinstallmedia";

// lsof in field form (-F): "p" + process id, "f" + descriptor, "n" + path per record.
// Open files of download candidates: exit 1 with empty output means none is open.
ToolCommand lsofDownloadCandidates(const std::vector<std::string>& paths);     // 12 s
// Open files anywhere beneath a preparation directory (+D).
ToolCommand lsofPreparationDirectory(const std::string& directory);            // 20 s
// Open files anywhere inside an installer application bundle (+D).
ToolCommand lsofInstallerApplication(const std::string& bundlePath);           // 25 s

// ps: every process's command ("-axo comm="), one process's command, and every
// process's id and argument text ("-axo pid=,args=").
ToolCommand psCommandNames();                                                  // 5 s
ToolCommand psCommandNameOf(pid_t pid);                                        // 5 s
ToolCommand psProcessArguments();                                              // 3 s

// hdiutil. The attach is private and read-only, at `mountPoint`, never browsed or
// opened, with ownership ignored; no forced detach is ever requested.
ToolCommand hdiutilInfo();                                                     // 15 s
ToolCommand hdiutilImageInfo(const std::string& imagePath);                    // 120 s
ToolCommand hdiutilAttachPrivate(const std::string& imagePath, const std::string& mountPoint);  // 180 s
ToolCommand hdiutilDetach(const std::string& devicePath);                      // 30 s

// diskutil.
ToolCommand diskutilImageDeviceInfo(const std::string& devicePath);            // 10 s
ToolCommand diskutilListExternalPhysical();                                    // 15 s
ToolCommand diskutilStartupVolumeInfo();                                       // 15 s
ToolCommand diskutilApfsList();                                                // 15 s
// One disk, partition or volume: a device path or a path under "/Volumes/".
ToolCommand diskutilInfo(const std::string& deviceOrVolume);                   // 15 s
// The format commands and the mount have no time limit: the Rescue Drive pipeline
// cancels the format commands itself, and waits for the mount.
ToolCommand diskutilEraseDisk(const std::string& volumeName, const std::string& wholeDiskDevice);
ToolCommand diskutilEraseVolume(const std::string& volumeName, const std::string& partitionDevice);
ToolCommand diskutilMount(const std::string& partitionDevice);

// pkgutil on the private package snapshot.
ToolCommand pkgutilCheckSignature(const std::string& packagePath);             // 180 s
ToolCommand pkgutilExpandFull(const std::string& packagePath, const std::string& expandedDirectory);  // 1800 s

// launchctl: unload a startup item by its property list's standardized path; the
// outcome is not used.
ToolCommand launchctlBootout(const std::string& propertyListPath);             // 5 s

// The installer's own media-creation tool; no time limit (cancelled by the pipeline).
ToolCommand createInstallMedia(const std::string& installerApplication, const std::string& volumeMountPoint);

}  // namespace tools
}  // namespace tidewarden::platform
