// The disks of the simulated Mac: the internal startup disk, the presets of typical sticks, settings and checks.
#include "sim/world_disks.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/uuid.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

constexpr std::int64_t kFirstPartitionOffset = 20480;       // after the GUID map's header
constexpr std::int64_t kEfiSize = 209715200;                // 200 MiB
constexpr std::int64_t kFDiskFirstOffset = 1048576;         // 1 MiB
constexpr std::int64_t kMapTail = 20480;                    // the backup GUID map
constexpr std::int64_t kGiB = 1073741824;

std::string diskName(int number) { return "disk" + std::to_string(number); }

std::string registryPathOf(int number) {
  return "IODeviceTree:/PCI0@0/XHC1@14/usb-port@" + std::to_string(number) + "/IOUSBHostDevice@" +
         std::to_string(number) + "/IOMedia";
}

WorldDisk stick(int number, std::string mediaName, std::int64_t size, std::string map) {
  WorldDisk disk;
  disk.identifier = diskName(number);
  disk.mediaName = std::move(mediaName);
  disk.registryPath = registryPathOf(number);
  disk.bus = "USB";
  disk.size = size;
  disk.partitionMap = std::move(map);
  return disk;
}

WorldPartition partition(const WorldDisk& disk, std::string content, std::string filesystem, std::string name,
                         std::int64_t offset, std::int64_t size) {
  WorldPartition part;
  part.identifier = disk.identifier + "s" + std::to_string(disk.partitions.size() + 1);
  part.content = std::move(content);
  part.filesystem = std::move(filesystem);
  part.partitionUUID = platform::makeUuidString();
  part.volumeUUID = part.filesystem.empty() ? "" : platform::makeUuidString();
  part.volumeName = std::move(name);
  part.offset = offset;
  part.size = size;
  return part;
}

void addEfi(WorldDisk& disk) {
  disk.partitions.push_back(partition(disk, "EFI", "msdos", "EFI", kFirstPartitionOffset, kEfiSize));
}

// The rest of a GUID disk after the partitions so far, rounded down to 4 KiB.
std::int64_t restOf(const WorldDisk& disk) {
  const WorldPartition& last = disk.partitions.back();
  const std::int64_t rest = disk.size - (last.offset + last.size) - kMapTail;
  return rest / 4096 * 4096;
}

std::int64_t endOf(const WorldDisk& disk) { return disk.partitions.back().offset + disk.partitions.back().size; }

WorldDisk gptStick(int number, const std::string& mediaName, std::int64_t size, const std::string& volume) {
  WorldDisk disk = stick(number, mediaName, size, "GUID_partition_scheme");
  addEfi(disk);
  WorldPartition data = partition(disk, "Microsoft Basic Data", "exfat", volume, endOf(disk), restOf(disk));
  data.mountPoint = "/Volumes/" + volume;
  disk.partitions.push_back(std::move(data));
  return disk;
}

// An external disk holding one APFS container; returns the container.
WorldApfsContainer apfsStick(WorldDisks& disks, int number, const std::string& mediaName,
                             const std::vector<std::pair<std::string, std::optional<std::string>>>& volumes) {
  WorldDisk disk = stick(number, mediaName, 128000000000, "GUID_partition_scheme");
  addEfi(disk);
  disk.partitions.push_back(partition(disk, "Apple_APFS", "", "", endOf(disk), restOf(disk)));
  WorldApfsContainer container;
  container.reference = diskName(number + 1);
  container.physicalStores = {disk.partitions.back().identifier};
  for (const auto& [name, mount] : volumes) {
    container.volumes.push_back({container.reference + "s" + std::to_string(container.volumes.size() + 1), name,
                                 platform::makeUuidString(), 4 * kGiB, mount});
  }
  disks.disks.push_back(std::move(disk));
  return container;
}

void requireWorld(bool holds, const std::string& message) {
  if (!holds) throw WorldError(message);
}

std::int64_t parseBytes(const std::string& key, const std::string& value) {
  requireWorld(!value.empty() && value.size() <= 16 && value.find_first_not_of("0123456789") == std::string::npos,
               key + " needs a byte count, got " + value);
  return std::stoll(value);
}

bool parseFlag(const std::string& key, const std::string& value) {
  requireWorld(value == "true" || value == "false", key + " needs true or false, got " + value);
  return value == "true";
}

void requireText(const std::string& key, const std::string& value) {
  requireWorld(value.find_first_of(std::string_view("\n\0", 2)) == std::string::npos,
               key + " needs a value on one line");
}

void setPartition(WorldPartition& part, const std::string& key, const std::string& value) {
  requireText(key, value);
  if (key == "content") part.content = value;
  else if (key == "filesystem") part.filesystem = value;
  else if (key == "size") part.size = parseBytes(key, value);
  else if (key == "offset") part.offset = parseBytes(key, value);
  else if (key == "uuid") part.partitionUUID = value;
  else if (key == "volume-uuid") part.volumeUUID = value;
  else if (key == "name") part.volumeName = value;
  else if (key == "mount") part.mountPoint = value == "none" ? std::nullopt : std::optional(value);
  else if (key == "writable") part.writable = parseFlag(key, value);
  else if (key == "encrypted") part.encrypted = parseFlag(key, value);
  else if (key == "locked") part.locked = parseFlag(key, value);
  else throw WorldError("unknown partition setting " + key);
}

void setDisk(WorldDisk& disk, const std::string& key, const std::string& value) {
  requireText(key, value);
  if (key == "media-name") disk.mediaName = value;
  else if (key == "size") disk.size = parseBytes(key, value);
  else if (key == "bus") disk.bus = value;
  else if (key == "registry-path") disk.registryPath = value;
  else if (key == "map") disk.partitionMap = value;
  else if (key == "writable") disk.writable = parseFlag(key, value);
  else if (key == "internal") disk.internal = parseFlag(key, value);
  else throw WorldError("unknown disk setting " + key);
}

}  // namespace

WorldDisk* WorldDisks::findDisk(std::string_view identifier) {
  for (WorldDisk& disk : disks) {
    if (disk.identifier == identifier) return &disk;
  }
  return nullptr;
}

std::pair<WorldDisk*, WorldPartition*> WorldDisks::findPartition(std::string_view identifier) {
  for (WorldDisk& disk : disks) {
    for (WorldPartition& part : disk.partitions) {
      if (part.identifier == identifier) return {&disk, &part};
    }
  }
  return {nullptr, nullptr};
}

WorldApfsContainer* WorldDisks::findContainer(std::string_view reference) {
  for (WorldApfsContainer& container : containers) {
    if (container.reference == reference) return &container;
  }
  return nullptr;
}

int WorldDisks::freeDiskNumber() const {
  std::set<std::string> used;
  for (const WorldDisk& disk : disks) used.insert(disk.identifier);
  for (const WorldApfsContainer& container : containers) used.insert(container.reference);
  int number = 4;
  // An APFS preset takes two numbers: its disk and its container's.
  while (used.contains(diskName(number)) || used.contains(diskName(number + 1))) ++number;
  return number;
}

WorldDisks freshWorldDisks() {
  WorldDisks disks;
  WorldDisk internal;
  internal.identifier = "disk0";
  internal.mediaName = "APPLE SSD AP0512Z";
  internal.registryPath = "IODeviceTree:/arm-io@10F00000/ans@8E400000/iop-ans-nub/AppleANS3NVMeController/IOMedia";
  internal.bus = "Apple Fabric";
  internal.size = 500277790720;
  internal.internal = true;
  internal.partitionMap = "GUID_partition_scheme";
  internal.partitions.push_back(partition(internal, "Apple_APFS_ISC", "", "", kFirstPartitionOffset, 524288000));
  internal.partitions.push_back(partition(internal, "Apple_APFS", "", "", endOf(internal), 494384795648));
  internal.partitions.push_back(partition(internal, "Apple_APFS_Recovery", "", "", endOf(internal), restOf(internal)));
  WorldApfsContainer system;
  system.reference = "disk3";
  system.physicalStores = {"disk0s2"};
  system.volumes = {{"disk3s1", "Macintosh HD", platform::makeUuidString(), 11 * kGiB, "/"},
                    {"disk3s5", "Data", platform::makeUuidString(), 200 * kGiB, "/System/Volumes/Data"}};
  disks.disks.push_back(std::move(internal));
  disks.containers.push_back(std::move(system));
  return disks;
}

const std::vector<std::string_view>& worldDiskPresetNames() {
  static const std::vector<std::string_view> names{
      "usb-32g-gpt", "usb-15g9",   "usb-32g-fdisk",  "usb-64g-two-partitions",
      "usb-apfs",    "usb-readonly", "external-startup"};
  return names;
}

std::string addWorldDiskPreset(WorldDisks& disks, std::string_view name) {
  const int number = disks.freeDiskNumber();
  const std::string stickName = "STICK" + std::to_string(number);
  if (name == "usb-32g-gpt") {
    disks.disks.push_back(gptStick(number, "USB Flash Drive 32GB", 32000000000, stickName));
  } else if (name == "usb-15g9") {
    disks.disks.push_back(gptStick(number, "USB Flash Drive 16GB", 15900000000, stickName));
  } else if (name == "usb-readonly") {
    WorldDisk disk = gptStick(number, "USB Locked Flash Drive 32GB", 32000000000, stickName);
    disk.writable = false;
    for (WorldPartition& part : disk.partitions) part.writable = false;
    disks.disks.push_back(std::move(disk));
  } else if (name == "usb-32g-fdisk") {
    WorldDisk disk = stick(number, "USB Flash Drive 32GB", 32000000000, "FDisk_partition_scheme");
    WorldPartition data = partition(disk, "DOS_FAT_32", "msdos", "UNTITLED", kFDiskFirstOffset,
                                    (disk.size - kFDiskFirstOffset) / 4096 * 4096);
    data.mountPoint = "/Volumes/UNTITLED";
    disk.partitions.push_back(std::move(data));
    disks.disks.push_back(std::move(disk));
  } else if (name == "usb-64g-two-partitions") {
    WorldDisk disk = stick(number, "USB Flash Drive 64GB", 64000000000, "GUID_partition_scheme");
    addEfi(disk);
    WorldPartition first = partition(disk, "Microsoft Basic Data", "exfat", "DATA" + std::to_string(number),
                                     endOf(disk), 30000000000);
    first.mountPoint = "/Volumes/" + first.volumeName;
    disk.partitions.push_back(std::move(first));
    disk.partitions.push_back(
        partition(disk, "Apple_HFS", "hfs", "SPARE" + std::to_string(number), endOf(disk), restOf(disk)));
    disks.disks.push_back(std::move(disk));
  } else if (name == "usb-apfs") {
    disks.containers.push_back(apfsStick(disks, number, "USB SSD 128GB",
                                         {{"Stick Data " + std::to_string(number), "/Volumes/Stick Data " + std::to_string(number)},
                                          {"Backups " + std::to_string(number), std::nullopt}}));
  } else if (name == "external-startup") {
    // The Mac now runs from this disk: "/" moves from the internal system volume to it.
    for (WorldApfsContainer& container : disks.containers) {
      for (WorldApfsVolume& volume : container.volumes) {
        if (volume.mountPoint == "/") volume.mountPoint = "/Volumes/" + volume.name;
      }
    }
    disks.containers.push_back(apfsStick(disks, number, "USB SSD 128GB", {{"Macintosh HD External", "/"}}));
  } else {
    std::string known;
    for (std::string_view preset : worldDiskPresetNames()) known += (known.empty() ? "" : ", ") + std::string(preset);
    throw WorldError("unknown disk preset " + std::string(name) + " (known: " + known + ")");
  }
  return diskName(number);
}

void applyWorldDiskSettings(WorldDisks& disks, const std::string& target, const std::vector<std::string>& settings) {
  WorldDisks changed = disks;
  WorldDisk* disk = changed.findDisk(target);
  WorldPartition* part = changed.findPartition(target).second;
  requireWorld(disk != nullptr || part != nullptr, "This simulated Mac has no disk or partition " + target +
                                                       "; nothing was changed.");
  for (const std::string& setting : settings) {
    const std::size_t equals = setting.find('=');
    requireWorld(equals != std::string::npos && equals > 0, "a setting needs KEY=VALUE, got " + setting);
    const std::string key = setting.substr(0, equals);
    const std::string value = setting.substr(equals + 1);
    if (disk != nullptr) setDisk(*disk, key, value);
    else setPartition(*part, key, value);
  }
  checkWorldDisks(changed);
  disks = std::move(changed);
}

void eraseWorldDiskAsGpt(WorldDisks& disks, const std::string& identifier, const std::string& volumeName) {
  WorldDisk* disk = disks.findDisk(identifier);
  requireWorld(disk != nullptr && !disk->internal,
               "This simulated Mac has no external disk " + identifier + "; nothing was changed.");
  std::set<std::string> stores;
  for (const WorldPartition& part : disk->partitions) stores.insert(part.identifier);
  std::erase_if(disks.containers, [&](WorldApfsContainer& container) {
    std::erase_if(container.physicalStores, [&](const std::string& store) { return stores.contains(store); });
    return container.physicalStores.empty();
  });
  disk->partitionMap = "GUID_partition_scheme";
  disk->partitions.clear();
  addEfi(*disk);
  disk->partitions.push_back(partition(*disk, "Apple_HFS", "hfs", volumeName, endOf(*disk), restOf(*disk)));
}

bool worldMountPointTaken(const WorldDisks& disks, const std::string& mountPoint) {
  for (const WorldDisk& disk : disks.disks) {
    for (const WorldPartition& part : disk.partitions) {
      if (part.mountPoint == mountPoint) return true;
    }
  }
  for (const WorldApfsContainer& container : disks.containers) {
    for (const WorldApfsVolume& volume : container.volumes) {
      if (volume.mountPoint == mountPoint) return true;
    }
  }
  return false;
}

void setWorldMountPoint(WorldDisks& disks, const std::string& identifier, const std::optional<std::string>& mountPoint) {
  if (mountPoint) {
    requireWorld(!mountPoint->empty() && (*mountPoint)[0] == '/', "a mount point must be an absolute path");
    requireWorld(!worldMountPointTaken(disks, *mountPoint),
                 "Something is already mounted at " + *mountPoint + "; nothing was changed.");
  }
  if (WorldPartition* part = disks.findPartition(identifier).second) {
    part->mountPoint = mountPoint;
    return;
  }
  for (WorldApfsContainer& container : disks.containers) {
    for (WorldApfsVolume& volume : container.volumes) {
      if (volume.identifier == identifier) {
        volume.mountPoint = mountPoint;
        return;
      }
    }
  }
  throw WorldError("This simulated Mac has no partition or volume " + identifier + "; nothing was changed.");
}

std::string defaultWorldMountPoint(WorldDisks& disks, const std::string& identifier) {
  std::string name = identifier;
  if (const WorldPartition* part = disks.findPartition(identifier).second) {
    if (!part->volumeName.empty()) name = part->volumeName;
  }
  for (const WorldApfsContainer& container : disks.containers) {
    for (const WorldApfsVolume& volume : container.volumes) {
      if (volume.identifier == identifier && !volume.name.empty()) name = volume.name;
    }
  }
  return "/Volumes/" + name;
}

void removeWorldDisk(WorldDisks& disks, const std::string& identifier) {
  const WorldDisk* disk = disks.findDisk(identifier);
  requireWorld(disk != nullptr && !disk->internal,
               "This simulated Mac has no external disk " + identifier + "; nothing was changed.");
  std::set<std::string> stores;
  for (const WorldPartition& part : disk->partitions) stores.insert(part.identifier);
  std::erase_if(disks.containers, [&](WorldApfsContainer& container) {
    std::erase_if(container.physicalStores, [&](const std::string& store) { return stores.contains(store); });
    return container.physicalStores.empty();
  });
  std::erase_if(disks.disks, [&](const WorldDisk& each) { return each.identifier == identifier; });
}

void checkWorldDisks(const WorldDisks& disks) {
  const auto require = [](bool holds, const std::string& path, const std::string& what) {
    if (!holds) throw WorldError("The world value \"" + path + "\" " + what);
  };
  for (std::size_t d = 0; d < disks.disks.size(); ++d) {
    const WorldDisk& disk = disks.disks[d];
    const std::string path = "disks.disks[" + std::to_string(d) + "].";
    require(disk.size >= 0, path + "size", "must not be negative.");
    for (std::size_t p = 0; p < disk.partitions.size(); ++p) {
      const WorldPartition& part = disk.partitions[p];
      const std::string at = path + "partitions[" + std::to_string(p) + "].";
      require(part.size >= 0 && part.offset >= 0, at + "size", "and offset must not be negative.");
      if (part.mountPoint) require(!part.mountPoint->empty() && (*part.mountPoint)[0] == '/', at + "mountPoint",
                                   "must be an absolute path.");
    }
  }
  for (std::size_t i = 0; i < disks.pendingChanges.size(); ++i) {
    require(disks.pendingChanges[i].afterQueries >= 1,
            "disks.pendingChanges[" + std::to_string(i) + "].afterQueries", "must be at least 1.");
  }
}

}  // namespace tidewarden::sim
