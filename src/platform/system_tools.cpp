// The system tool invocations: executables, argument vectors and time limits.
#include "platform/system_tools.h"

namespace tidewarden::platform::tools {
namespace {

constexpr double kLsofCandidatesSeconds = 12;
constexpr double kLsofPreparationSeconds = 20;
constexpr double kLsofInstallerSeconds = 25;
constexpr double kPsSeconds = 5;
constexpr double kPsArgumentsSeconds = 3;
constexpr double kHdiutilInfoSeconds = 15;
constexpr double kHdiutilImageInfoSeconds = 120;
constexpr double kHdiutilAttachSeconds = 180;
constexpr double kHdiutilDetachSeconds = 30;
constexpr double kDiskutilImageDeviceSeconds = 10;
constexpr double kDiskutilInventorySeconds = 15;
constexpr double kPkgutilSignatureSeconds = 180;
constexpr double kPkgutilExpandSeconds = 1800;
constexpr double kLaunchctlSeconds = 5;

ToolCommand command(std::string_view executable, std::vector<std::string> arguments,
                    std::optional<double> limit) {
  return ToolCommand{std::string(executable), std::move(arguments), limit};
}

}  // namespace

ToolCommand lsofDownloadCandidates(const std::vector<std::string>& paths) {
  std::vector<std::string> arguments{"-nP", "-Fpn"};
  arguments.insert(arguments.end(), paths.begin(), paths.end());
  return command(kLsof, std::move(arguments), kLsofCandidatesSeconds);
}

ToolCommand lsofPreparationDirectory(const std::string& directory) {
  return command(kLsof, {"-nP", "-Fpn", "+D", directory}, kLsofPreparationSeconds);
}

ToolCommand lsofInstallerApplication(const std::string& bundlePath) {
  return command(kLsof, {"-nP", "-Fpn", "+D", bundlePath}, kLsofInstallerSeconds);
}

ToolCommand psCommandNames() { return command(kPs, {"-axo", "comm="}, kPsSeconds); }

ToolCommand psCommandNameOf(pid_t pid) {
  return command(kPs, {"-p", std::to_string(pid), "-o", "comm="}, kPsSeconds);
}

ToolCommand psProcessArguments() { return command(kPs, {"-axo", "pid=,args="}, kPsArgumentsSeconds); }

ToolCommand hdiutilInfo() { return command(kHdiutil, {"info", "-plist"}, kHdiutilInfoSeconds); }

ToolCommand hdiutilImageInfo(const std::string& imagePath) {
  return command(kHdiutil, {"imageinfo", "-plist", imagePath}, kHdiutilImageInfoSeconds);
}

ToolCommand hdiutilAttachPrivate(const std::string& imagePath, const std::string& mountPoint) {
  return command(kHdiutil,
                 {"attach", imagePath, "-plist", "-readonly", "-nobrowse", "-noautoopen", "-owners", "off",
                  "-mountpoint", mountPoint},
                 kHdiutilAttachSeconds);
}

ToolCommand hdiutilDetach(const std::string& devicePath) {
  return command(kHdiutil, {"detach", devicePath}, kHdiutilDetachSeconds);
}

ToolCommand diskutilImageDeviceInfo(const std::string& devicePath) {
  return command(kDiskutil, {"info", "-plist", devicePath}, kDiskutilImageDeviceSeconds);
}

ToolCommand diskutilListExternalPhysical() {
  return command(kDiskutil, {"list", "-plist", "external", "physical"}, kDiskutilInventorySeconds);
}

ToolCommand diskutilStartupVolumeInfo() {
  return command(kDiskutil, {"info", "-plist", "/"}, kDiskutilInventorySeconds);
}

ToolCommand diskutilApfsList() { return command(kDiskutil, {"apfs", "list", "-plist"}, kDiskutilInventorySeconds); }

ToolCommand diskutilInfo(const std::string& deviceOrVolume) {
  return command(kDiskutil, {"info", "-plist", deviceOrVolume}, kDiskutilInventorySeconds);
}

ToolCommand diskutilEraseDisk(const std::string& volumeName, const std::string& wholeDiskDevice) {
  return command(kDiskutil, {"eraseDisk", "JHFS+", volumeName, "GPT", wholeDiskDevice}, std::nullopt);
}

ToolCommand diskutilEraseVolume(const std::string& volumeName, const std::string& partitionDevice) {
  return command(kDiskutil, {"eraseVolume", "JHFS+", volumeName, partitionDevice}, std::nullopt);
}

ToolCommand diskutilMount(const std::string& partitionDevice) {
  return command(kDiskutil, {"mount", partitionDevice}, std::nullopt);
}

ToolCommand pkgutilCheckSignature(const std::string& packagePath) {
  return command(kPkgutil, {"--check-signature", packagePath}, kPkgutilSignatureSeconds);
}

ToolCommand pkgutilExpandFull(const std::string& packagePath, const std::string& expandedDirectory) {
  return command(kPkgutil, {"--expand-full", packagePath, expandedDirectory}, kPkgutilExpandSeconds);
}

ToolCommand launchctlBootout(const std::string& propertyListPath) {
  return command(kLaunchctl, {"bootout", "system", propertyListPath}, kLaunchctlSeconds);
}

ToolCommand createInstallMedia(const std::string& installerApplication, const std::string& volumeMountPoint) {
  return command(installerApplication + std::string(kCreateInstallMediaInBundle),
                 {"--volume", volumeMountPoint, "--nointeraction"}, std::nullopt);
}

}  // namespace tidewarden::platform::tools
