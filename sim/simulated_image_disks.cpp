// The simulated `diskutil info -plist DEV` for the devices of attached disk images.
#include "sim/simulated_image_disks.h"

#include "platform/property_list.h"

namespace tidewarden::sim {

std::optional<SimulatedToolAnswer> answerImageDiskInfo(const std::vector<std::string>& arguments,
                                                       const WorldTools& world) {
  if (arguments.size() != 3 || arguments[0] != "info" || arguments[1] != "-plist") return std::nullopt;
  const std::string node = arguments[2].starts_with("/dev/") ? arguments[2] : "/dev/" + arguments[2];
  for (const WorldAttachedImage& image : world.images) {
    for (const WorldImageEntity& entity : image.entities) {
      if (entity.devEntry != node) continue;
      using platform::PropertyList;
      const std::string name = node.substr(5);
      const std::size_t slice = name.find('s', 4);
      PropertyList info = PropertyList::dictionary();
      info.set("DeviceIdentifier", PropertyList::string(name));
      info.set("DeviceNode", PropertyList::string(node));
      info.set("WholeDisk", PropertyList::boolean(slice == std::string::npos));
      info.set("ParentWholeDisk", PropertyList::string(name.substr(0, slice)));
      info.set("VirtualOrPhysical", PropertyList::string(image.physical.value_or(false) ? "Physical" : "Virtual"));
      info.set("Internal", PropertyList::boolean(false));
      info.set("Writable", PropertyList::boolean(image.writable));
      info.set("Content", PropertyList::string(slice == std::string::npos ? "GUID_partition_scheme" : "Apple_HFS"));
      info.set("MountPoint", PropertyList::string(entity.mountPoint.value_or("")));
      info.set("Size", PropertyList::integer(209715200));
      return SimulatedToolAnswer{info.toXml(), "", 0};
    }
  }
  return std::nullopt;
}

}  // namespace tidewarden::sim
