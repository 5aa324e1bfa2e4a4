// Releasing a local installer's attached images: the activity check and the normal, never forced, detach.
#include "installers/installer_image_release.h"

#include <algorithm>
#include <array>

#include "installers/installer_process_listing.h"
#include "platform/process_facts.h"
#include "platform/property_list.h"
#include "platform/system_tools.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/scoped_command_runner.h"
#include "storage/tool_output_readers.h"

namespace tidewarden::installers {
namespace {

using storage::InstallerSafetyError;
using storage::ScopedCommandResult;

constexpr std::array<std::string_view, 8> kReleaseBlockingNames{
    "softwareupdate", "startosinstall", "osinstallersetupd", "osinstallerd",
    "installassistant", "createinstallmedia", "pkgutil", "hdiutil"};

std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1));
}

std::string lastComponent(const std::string& text) { return text.substr(text.rfind('/') + 1); }

void requireNoBlockingProcess(const platform::Platform& platform) {
  const auto names = readProcessNames(storage::runScopedCommand(platform, platform::tools::psCommandNames()));
  if (!names) throw InstallerSafetyError::refused("Installer process records are incomplete.");
  for (const std::string& name : *names) {
    if (std::find(kReleaseBlockingNames.begin(), kReleaseBlockingNames.end(), name) != kReleaseBlockingNames.end()) {
      throw InstallerSafetyError::refused("An installer or disk-image operation (" + name +
                                          ") is running. Let it finish before releasing the installer image.");
    }
  }
}

std::string processName(const platform::Platform& platform, pid_t pid) {
  const ScopedCommandResult ps = storage::runScopedCommand(platform, platform::tools::psCommandNameOf(pid));
  if (!ps.complete || ps.status != 0) return {};
  std::string name;
  for (char c : lastComponent(trimmed(ps.standardOutput))) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) name += c;
  }
  return name;
}

const char* lsofReason(const std::string& reason) {
  if (reason == storage::kLsofProcessMalformedMessage) return "Installer file records have no process identity.";
  if (reason == storage::kLsofDescriptorIncompleteMessage) return "Installer descriptor records are incomplete.";
  if (reason == storage::kLsofRecordsIncompleteMessage) return "Installer open-file records were incomplete.";
  if (reason == storage::kLsofUnsupportedRecordMessage) {
    return "Installer open-file inspection returned an unsupported result.";
  }
  return "Installer open-file records could not be fully interpreted.";
}

void requireNoOpenFile(const platform::Platform& platform, const std::string& bundlePath) {
  const ScopedCommandResult lsof =
      storage::runScopedCommand(platform, platform::tools::lsofInstallerApplication(bundlePath));
  if (!lsof.complete) throw InstallerSafetyError::refused("Installer open-file records were incomplete.");
  if (lsof.status == 1 && trimmed(lsof.standardOutput).empty()) return;
  if (lsof.status != 0) {
    throw InstallerSafetyError::refused("Installer file activity could not be fully checked. " +
                                        toolFailureText("list open installer files", lsof.status, lsof.complete,
                                                        lsof.standardError));
  }
  const storage::LsofFieldReading reading = storage::readLsofFieldRecords(lsof.standardOutput);
  if (reading.unknownReason) throw InstallerSafetyError::refused(lsofReason(*reading.unknownReason));
  if (reading.files.empty()) {
    throw InstallerSafetyError::refused("Installer open-file inspection returned an unsupported result.");
  }
  const pid_t self = platform.processFacts.processIdentifier();
  for (const storage::LsofOpenFile& file : reading.files) {
    if (file.pid == self) continue;
    if (file.descriptor == "cwd" || file.descriptor == "rtd" || file.descriptor == "txt" || file.descriptor == "mem") {
      continue;
    }
    std::string path;
    try {
      path = storage::canonicalPath(file.path);
    } catch (const InstallerSafetyError&) {
      throw InstallerSafetyError::refused("Installer open-file records could not be fully interpreted.");
    }
    if (!path.starts_with(bundlePath + "/")) continue;
    const std::string name = processName(platform, file.pid);
    throw InstallerSafetyError::refused(
        "Process " + std::to_string(file.pid) + (name.empty() ? " (name unavailable)" : " (" + name + ")") +
        " has an open file in this installer. File: " + path +
        ". Open Activity Monitor \u2192 View \u2192 All Processes to identify it. If it is an installer app, quit it "
        "normally. For a system service or an unfamiliar process, do not force quit it; let its work finish and check "
        "again. No image was detached.");
  }
}

}  // namespace

std::optional<VirtualDiskInfo> readVirtualDiskInfo(std::string_view plist) {
  const auto list = platform::PropertyList::parse(plist, storage::kScopedCaptureLimitBytes);
  if (!list || list->root().type() != platform::PlistType::dictionary) return std::nullopt;
  const platform::PlistNode root = list->root();
  return VirtualDiskInfo{root.get("WholeDisk").asBool(), root.get("VirtualOrPhysical").asString(),
                         root.get("DeviceIdentifier").asString(), root.get("DeviceNode").asString()};
}

bool confirmsVirtualWholeDisk(const VirtualDiskInfo& info, const std::string& device) {
  return isWholeDiskDevice(device) && info.wholeDisk == true && info.virtualOrPhysical == "Virtual" &&
         info.deviceIdentifier == device.substr(std::string_view("/dev/").size()) && info.deviceNode == device;
}

void requireInstallerImagesNotInUse(const platform::Platform& platform, const std::string& bundlePath,
                                    const std::vector<PreparedInstallerAttachment>&) {
  requireNoBlockingProcess(platform);
  requireNoOpenFile(platform, bundlePath);
}

void detachInstallerImage(const platform::Platform& platform, const std::string& bundlePath,
                          const PreparedInstallerAttachment& attachment) {
  const auto stillThere = [&] {
    const auto now = inspectInstallerImages(platform, bundlePath);
    return std::find(now.begin(), now.end(), attachment) != now.end();
  };
  if (!stillThere()) {
    throw InstallerSafetyError::refused("This image identity changed before release; no detach was attempted.");
  }
  const std::string& device = attachment.display.deviceIdentifier;
  if (!isWholeDiskDevice(device)) throw InstallerSafetyError::refused("Invalid virtual-image target.");
  const ScopedCommandResult info = storage::runScopedCommand(platform, platform::tools::diskutilImageDeviceInfo(device));
  if (!info.complete || info.status != 0) {
    throw InstallerSafetyError::refused(
        toolFailureText("verify the virtual image device", info.status, info.complete, info.standardError));
  }
  const auto disk = readVirtualDiskInfo(info.standardOutput);
  if (!disk || !confirmsVirtualWholeDisk(*disk, device)) {
    throw InstallerSafetyError::refused(
        "The current image device could not be confirmed as the reviewed virtual disk. No physical device was "
        "selected for release.");
  }
  if (!stillThere()) {
    throw InstallerSafetyError::refused("The image attachment changed during final checks; no detach was attempted.");
  }
  const ScopedCommandResult detach = storage::runScopedCommand(platform, platform::tools::hdiutilDetach(device));
  const std::string detail = trimmed(detach.standardError) + ", response complete=" + (detach.complete ? "true" : "false");
  const std::string& image = attachment.display.imagePath;
  if (!detach.complete) {
    throw InstallerSafetyError::refused("The normal image-release request for " + image +
                                        " did not return a complete result. Its state is unverified; check Installer "
                                        "Storage before another action. " + detail);
  }
  if (detach.status != 0) {
    throw InstallerSafetyError::refused(
        "macOS did not confirm a normal release of the installer image at " + image +
        ". Close files or windows using that image and let active work finish, then check again. Do not force-quit "
        "Spotlight or other system services. " + detail);
  }
}

}  // namespace tidewarden::installers
