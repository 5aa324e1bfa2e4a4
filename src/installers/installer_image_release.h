// Releasing a local installer's attached images: the activity check and the normal, never forced, detach.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installers/installer_image_inventory.h"
#include "platform/platform.h"

namespace tidewarden::installers {

// What `diskutil info -plist DEV` states about a device, as far as the release needs it.
struct VirtualDiskInfo {
  std::optional<bool> wholeDisk;
  std::optional<std::string> virtualOrPhysical;
  std::optional<std::string> deviceIdentifier;
  std::optional<std::string> deviceNode;

  friend bool operator==(const VirtualDiskInfo&, const VirtualDiskInfo&) = default;
};

// The four keys of a diskutil info dictionary; nothing when the output is not a
// property-list dictionary. A key of the wrong type is absent.
std::optional<VirtualDiskInfo> readVirtualDiskInfo(std::string_view plist);

// True only for the virtual whole disk `device` itself ("/dev/diskN" and "diskN").
bool confirmsVirtualWholeDisk(const VirtualDiskInfo& info, const std::string& device);

// No installation or image tool running (ps), and no process but the helper with a
// file open in the bundle (lsof +D); the refusal names the process. Throws
// InstallerSafetyError. The default requireNotInUse probe.
void requireInstallerImagesNotInUse(const platform::Platform& platform, const std::string& bundlePath,
                                    const std::vector<PreparedInstallerAttachment>& attachments);

// Detaches one reviewed attachment: still present and equal in a fresh inventory, its
// root device a whole disk that diskutil confirms virtual, unchanged in one more
// inventory, then `hdiutil detach DEV`, never with a force option. Throws
// InstallerSafetyError. The default detach probe.
void detachInstallerImage(const platform::Platform& platform, const std::string& bundlePath,
                          const PreparedInstallerAttachment& attachment);

}  // namespace tidewarden::installers
