// The installer disk images attached from inside a bundle, read from hdiutil's attached-image inventory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installers/installers_messages.h"
#include "platform/platform.h"
#include "storage/installer_file_identity.h"

namespace tidewarden::installers {

// The most images one installer may have attached for a scoped release.
inline constexpr std::size_t kScopedReleaseLimit = 4;
// The most images the inventory may list.
inline constexpr std::size_t kInventoryImageLimit = 128;

// One image attached from inside the bundle; equal when all four fields are.
struct PreparedInstallerAttachment {
  PreparedInstallerImage display;    // image path, root device, mount points
  std::vector<std::string> devices;  // every /dev/disk… entry of the image
  std::optional<std::int32_t> backingPID;
  storage::InstallerFileIdentity identity;  // of the image file

  friend bool operator==(const PreparedInstallerAttachment&, const PreparedInstallerAttachment&) = default;
};

// "/dev/disk" + digits, and that with any number of "s" + digits after it.
bool isWholeDiskDevice(std::string_view device);
bool isDiskDevice(std::string_view device);

// Reads `hdiutil info -plist` output for the bundle at `bundlePath` (canonical): the
// images whose canonical path lies inside it, each of the approved read-only layout,
// scoped to one root virtual disk, with its file's identity from `imageIdentity`
// (which throws when the file is not a protected regular file in the bundle). A mount
// of any image inside the bundle, an unsupported inventory or record, duplicates,
// shared devices and more than kScopedReleaseLimit images are refused: the inventory
// is either understood whole or not used. Throws InstallerSafetyError.
std::vector<PreparedInstallerAttachment> readInstallerAttachments(
    std::string_view plist, const std::string& bundlePath,
    const std::function<storage::InstallerFileIdentity(const std::string& imagePath)>& imageIdentity);

// Runs hdiutil info (15 s) and reads it with readInstallerAttachments, opening each
// image file beneath the bundle without following a link. The default inspect probe.
std::vector<PreparedInstallerAttachment> inspectInstallerImages(const platform::Platform& platform,
                                                                const std::string& bundlePath);

// "Could not " + what + " (exit N, complete=…)" and the runner's error text.
std::string toolFailureText(const std::string& what, std::int32_t status, bool complete, const std::string& error);

}  // namespace tidewarden::installers
