// Fuzz target: `diskutil info -plist DEV` output. A device is confirmed as a virtual whole
// disk only when the output names exactly that device, and the XML form of a parsed list
// reads the same.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "installers/installer_image_release.h"
#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace installers = tidewarden::installers;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const auto info = installers::readVirtualDiskInfo(bytes);
  if (!info) return 0;
  for (const std::string device : {"/dev/disk4", "/dev/disk4s1", "/dev/disk12"}) {
    if (installers::confirmsVirtualWholeDisk(*info, device)) {
      FUZZ_CHECK(info->deviceNode == device && info->deviceIdentifier == device.substr(5) &&
                     info->virtualOrPhysical == "Virtual" && info->wholeDisk == true &&
                     installers::isWholeDiskDevice(device),
                 "confirmed a device the output does not name: " + tidewarden::fuzz::printable(bytes));
    }
  }
  const auto plist = tidewarden::platform::PropertyList::parse(bytes, 2097152);
  FUZZ_CHECK(plist.has_value(), "read without parsing: " + tidewarden::fuzz::printable(bytes));
  FUZZ_CHECK(installers::readVirtualDiskInfo(plist->toXml()) == info, "the XML form reads differently");
  return 0;
}
