// The simulated diskutil: list, info and apfs list as XML property lists from the world's disks.
#include "sim/simulated_diskutil.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "platform/property_list.h"

namespace tidewarden::sim {
namespace {

using platform::PropertyList;

// The partition type of an APFS container's synthesized disk.
constexpr const char* kApfsContainerScheme = "EF57347C-0000-11AA-AA11-00306543ECAC";

std::string joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += (text.empty() ? "" : " ") + argument;
  return text;
}

void setString(PropertyList& dict, std::string_view key, const std::string& value) {
  dict.set(key, PropertyList::string(value));
}

void setIfAny(PropertyList& dict, std::string_view key, const std::string& value) {
  if (!value.empty()) setString(dict, key, value);
}

// Applies the pending changes that fall due with this query; one that no longer fits
// the world (its target was removed) is dropped.
void applyDueChanges(WorldDisks& disks) {
  std::vector<WorldDiskChange> waiting;
  std::vector<WorldDiskChange> due;
  for (WorldDiskChange& change : disks.pendingChanges) {
    if (--change.afterQueries <= 0) {
      due.push_back(std::move(change));
    } else {
      waiting.push_back(std::move(change));
    }
  }
  disks.pendingChanges = std::move(waiting);
  for (const WorldDiskChange& change : due) {
    if (change.settings == std::vector<std::string>{kHoldQuerySetting}) {
      ++disks.heldQueries;
      continue;
    }
    try {
      applyWorldDiskSettings(disks, change.target, change.settings);
    } catch (const std::exception&) {
    }
  }
}

SimulatedToolAnswer answer(const PropertyList& list) { return {list.toXml(), "", 0}; }

SimulatedToolAnswer notFound(const std::string& what) { return {"", "Could not find disk: " + what + "\n", 1}; }

PropertyList listEntry(const WorldPartition& part) {
  PropertyList entry = PropertyList::dictionary();
  setString(entry, "Content", part.content);
  setString(entry, "DeviceIdentifier", part.identifier);
  setIfAny(entry, "DiskUUID", part.partitionUUID);
  entry.set("Size", PropertyList::integer(part.size));
  setIfAny(entry, "VolumeName", part.volumeName);
  setIfAny(entry, "VolumeUUID", part.volumeUUID);
  if (part.mountPoint) setString(entry, "MountPoint", *part.mountPoint);
  return entry;
}

SimulatedToolAnswer listExternalPhysical(const WorldDisks& disks) {
  PropertyList all = PropertyList::array();
  PropertyList allNames = PropertyList::array();
  PropertyList wholeNames = PropertyList::array();
  for (const WorldDisk& disk : disks.disks) {
    if (disk.internal) continue;
    PropertyList partitions = PropertyList::array();
    allNames.append(PropertyList::string(disk.identifier));
    wholeNames.append(PropertyList::string(disk.identifier));
    for (const WorldPartition& part : disk.partitions) {
      partitions.append(listEntry(part));
      allNames.append(PropertyList::string(part.identifier));
    }
    PropertyList entry = PropertyList::dictionary();
    setString(entry, "Content", disk.partitionMap);
    setString(entry, "DeviceIdentifier", disk.identifier);
    entry.set("OSInternal", PropertyList::boolean(false));
    entry.set("Size", PropertyList::integer(disk.size));
    entry.set("Partitions", std::move(partitions));
    all.append(std::move(entry));
  }
  PropertyList root = PropertyList::dictionary();
  root.set("AllDisks", std::move(allNames));
  root.set("AllDisksAndPartitions", std::move(all));
  root.set("VolumesFromDisks", PropertyList::array());
  root.set("WholeDisks", std::move(wholeNames));
  return answer(root);
}

void describeDisk(PropertyList& info, const WorldDisk& disk) {
  setString(info, "BusProtocol", disk.bus);
  setString(info, "DeviceTreePath", disk.registryPath);
  info.set("Internal", PropertyList::boolean(disk.internal));
  setString(info, "MediaName", disk.mediaName);
  info.set("RemovableMedia", PropertyList::boolean(!disk.internal));
  setString(info, "VirtualOrPhysical", "Physical");
  info.set("WritableMedia", PropertyList::boolean(disk.writable));
}

PropertyList wholeDiskInfo(const WorldDisk& disk) {
  PropertyList info = PropertyList::dictionary();
  describeDisk(info, disk);
  setString(info, "Content", disk.partitionMap);
  setString(info, "DeviceIdentifier", disk.identifier);
  setString(info, "DeviceNode", "/dev/" + disk.identifier);
  setString(info, "IORegistryEntryName", disk.mediaName + " Media");
  setString(info, "ParentWholeDisk", disk.identifier);
  info.set("Size", PropertyList::integer(disk.size));
  info.set("TotalSize", PropertyList::integer(disk.size));
  info.set("WholeDisk", PropertyList::boolean(true));
  info.set("Writable", PropertyList::boolean(disk.writable));
  return info;
}

PropertyList partitionInfo(const WorldDisk& disk, const WorldPartition& part) {
  PropertyList info = PropertyList::dictionary();
  describeDisk(info, disk);
  setString(info, "Content", part.content);
  setString(info, "DeviceIdentifier", part.identifier);
  setString(info, "DeviceNode", "/dev/" + part.identifier);
  setIfAny(info, "DiskUUID", part.partitionUUID);
  info.set("Encrypted", PropertyList::boolean(part.encrypted));
  info.set("FileVault", PropertyList::boolean(false));
  setIfAny(info, "FilesystemType", part.filesystem);
  setString(info, "IORegistryEntryName", part.volumeName.empty() ? part.identifier : part.volumeName);
  info.set("Locked", PropertyList::boolean(part.locked));
  setString(info, "MountPoint", part.mountPoint.value_or(""));
  setString(info, "ParentWholeDisk", disk.identifier);
  info.set("PartitionMapPartitionOffset", PropertyList::integer(part.offset));
  info.set("Size", PropertyList::integer(part.size));
  info.set("TotalSize", PropertyList::integer(part.size));
  setString(info, "VolumeName", part.volumeName);
  setIfAny(info, "VolumeUUID", part.volumeUUID);
  info.set("WholeDisk", PropertyList::boolean(false));
  info.set("Writable", PropertyList::boolean(part.writable && disk.writable));
  return info;
}

PropertyList physicalStores(const WorldApfsContainer& container) {
  PropertyList stores = PropertyList::array();
  for (const std::string& store : container.physicalStores) {
    PropertyList entry = PropertyList::dictionary();
    setString(entry, "APFSPhysicalStore", store);
    stores.append(std::move(entry));
  }
  return stores;
}

PropertyList volumeInfo(WorldDisks& disks, const WorldApfsContainer& container, const WorldApfsVolume& volume) {
  PropertyList info = PropertyList::dictionary();
  const WorldDisk* store =
      container.physicalStores.empty() ? nullptr : disks.findPartition(container.physicalStores.front()).first;
  if (store != nullptr) describeDisk(info, *store);
  setString(info, "VirtualOrPhysical", "Virtual");
  setString(info, "APFSContainerReference", container.reference);
  info.set("APFSPhysicalStores", physicalStores(container));
  setString(info, "Content", "41504653-0000-11AA-AA11-00306543ECAC");
  setString(info, "DeviceIdentifier", volume.identifier);
  setString(info, "DeviceNode", "/dev/" + volume.identifier);
  setString(info, "FilesystemType", "apfs");
  setString(info, "MountPoint", volume.mountPoint.value_or(""));
  setString(info, "ParentWholeDisk", container.reference);
  setString(info, "VolumeName", volume.name);
  setString(info, "VolumeUUID", volume.uuid);
  info.set("WholeDisk", PropertyList::boolean(false));
  return info;
}

PropertyList containerInfo(const WorldApfsContainer& container) {
  PropertyList info = PropertyList::dictionary();
  setString(info, "APFSContainerReference", container.reference);
  info.set("APFSPhysicalStores", physicalStores(container));
  setString(info, "Content", kApfsContainerScheme);
  setString(info, "DeviceIdentifier", container.reference);
  setString(info, "DeviceNode", "/dev/" + container.reference);
  setString(info, "ParentWholeDisk", container.reference);
  setString(info, "VirtualOrPhysical", "Virtual");
  info.set("WholeDisk", PropertyList::boolean(true));
  return info;
}

// info -plist of a device (/dev/...), a mount point, or "/".
SimulatedToolAnswer info(const std::string& subject, WorldDisks& disks) {
  const bool device = subject.rfind("/dev/", 0) == 0;
  const std::string name = device ? subject.substr(5) : std::string();
  std::string mount = subject;
  while (!device && mount.size() > 1 && mount.back() == '/') mount.pop_back();
  for (const WorldApfsContainer& container : disks.containers) {
    if (device && container.reference == name) return answer(containerInfo(container));
    for (const WorldApfsVolume& volume : container.volumes) {
      if (device ? volume.identifier == name : volume.mountPoint == mount) {
        return answer(volumeInfo(disks, container, volume));
      }
    }
  }
  for (const WorldDisk& disk : disks.disks) {
    if (device && disk.identifier == name) return answer(wholeDiskInfo(disk));
    for (const WorldPartition& part : disk.partitions) {
      if (device ? part.identifier == name : part.mountPoint == mount) return answer(partitionInfo(disk, part));
    }
  }
  return notFound(subject);
}

SimulatedToolAnswer apfsList(WorldDisks& disks) {
  PropertyList containers = PropertyList::array();
  for (const WorldApfsContainer& container : disks.containers) {
    PropertyList stores = PropertyList::array();
    for (const std::string& store : container.physicalStores) {
      PropertyList entry = PropertyList::dictionary();
      setString(entry, "DeviceIdentifier", store);
      const WorldPartition* part = disks.findPartition(store).second;
      entry.set("Size", PropertyList::integer(part != nullptr ? part->size : 0));
      stores.append(std::move(entry));
    }
    PropertyList volumes = PropertyList::array();
    for (const WorldApfsVolume& volume : container.volumes) {
      PropertyList entry = PropertyList::dictionary();
      setString(entry, "APFSVolumeUUID", volume.uuid);
      entry.set("CapacityInUse", PropertyList::integer(volume.capacityInUse));
      setString(entry, "DeviceIdentifier", volume.identifier);
      setString(entry, "Name", volume.name);
      entry.set("Roles", PropertyList::array());
      volumes.append(std::move(entry));
    }
    PropertyList entry = PropertyList::dictionary();
    setString(entry, "ContainerReference", container.reference);
    if (!container.physicalStores.empty()) setString(entry, "DesignatedPhysicalStore", container.physicalStores.front());
    entry.set("PhysicalStores", std::move(stores));
    entry.set("Volumes", std::move(volumes));
    containers.append(std::move(entry));
  }
  PropertyList root = PropertyList::dictionary();
  root.set("Containers", std::move(containers));
  return answer(root);
}

}  // namespace

SimulatedToolAnswer answerSimulatedDiskutil(const std::vector<std::string>& arguments, WorldDisks& disks) {
  disks.queries.push_back(joined(arguments));
  if (disks.queries.size() > WorldDisks::kMaxQueries) {
    disks.queries.erase(disks.queries.begin(),
                        disks.queries.begin() + static_cast<std::ptrdiff_t>(disks.queries.size() - WorldDisks::kMaxQueries));
  }
  applyDueChanges(disks);
  if (arguments == std::vector<std::string>{"list", "-plist", "external", "physical"}) {
    return listExternalPhysical(disks);
  }
  if (arguments == std::vector<std::string>{"apfs", "list", "-plist"}) return apfsList(disks);
  if (arguments.size() == 3 && arguments[0] == "info" && arguments[1] == "-plist") return info(arguments[2], disks);
  return {"", "diskutil: not simulated yet\n", 1};
}

}  // namespace tidewarden::sim
