// Fuzz target: hdiutil's attached-image inventory as the local-installer release reads it.
// Every input is either refused with InstallerSafetyError or gives at most four attachments,
// each a .dmg inside the bundle's Contents with one whole-disk root among its own devices
// and no device shared with another; the XML form of a parsed list reads the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "installers/installer_image_inventory.h"
#include "platform/property_list.h"
#include "storage/installer_safety_error.h"

namespace {

namespace installers = tidewarden::installers;
constexpr const char* kBundle = "/Applications/Install macOS Sequoia.app";

std::optional<std::vector<installers::PreparedInstallerAttachment>> read(std::string_view bytes) {
  try {
    return installers::readInstallerAttachments(bytes, kBundle, [](const std::string& path) {
      tidewarden::storage::InstallerFileIdentity identity;
      identity.inode = path.size();
      return identity;
    });
  } catch (const tidewarden::storage::InstallerSafetyError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const auto attachments = read(bytes);
  if (attachments) {
    FUZZ_CHECK(attachments->size() <= installers::kScopedReleaseLimit, "more than the scoped limit");
    std::set<std::string> devices;
    for (const auto& attachment : *attachments) {
      const std::string& path = attachment.display.imagePath;
      FUZZ_CHECK(path.rfind(std::string(kBundle) + "/Contents/", 0) == 0 && path.size() > 4 &&
                     path.compare(path.size() - 4, 4, ".dmg") == 0,
                 "an image outside the bundle's Contents: " + printable(path));
      FUZZ_CHECK(installers::isWholeDiskDevice(attachment.display.deviceIdentifier), "a root that is no whole disk");
      bool rootListed = false;
      for (const std::string& device : attachment.devices) {
        FUZZ_CHECK(devices.insert(device).second, "a shared device: " + printable(device));
        rootListed = rootListed || device == attachment.display.deviceIdentifier;
      }
      FUZZ_CHECK(rootListed, "a root that is not among the image's devices");
    }
  }
  const auto plist = tidewarden::platform::PropertyList::parse(bytes, 2097152);
  if (plist) FUZZ_CHECK(read(plist->toXml()) == attachments, "the XML form reads differently: " + printable(bytes));
  return 0;
}
