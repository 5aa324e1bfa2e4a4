// The external disk inventory: whole-tree checks, per-disk refusals, partition and shared APFS volume rows.
#include "rescue/rescue_disk_inventory.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "platform/regex.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_partition_eligibility.h"

namespace tidewarden::rescue {
namespace {

using platform::PlistNode;
using platform::PlistType;
using platform::PropertyList;

const std::vector<std::string> kListQuery{"list", "-plist", "external", "physical"};
const std::vector<std::string> kStartupQuery{"info", "-plist", "/"};
const std::vector<std::string> kApfsQuery{"apfs", "list", "-plist"};

const platform::Regex& wholeDiskPattern() {
  static const platform::Regex pattern = *platform::Regex::compile("^disk[0-9]{1,5}$");
  return pattern;
}

const platform::Regex& partitionPattern() {
  static const platform::Regex pattern = *platform::Regex::compile("^disk[0-9]{1,5}s[0-9]{1,5}$");
  return pattern;
}

// "disk4" of "disk4s2", or nothing when it is no partition identifier.
std::optional<std::string> wholeDiskOf(const std::string& partition) {
  if (!partitionPattern().matches(partition)) return std::nullopt;
  return partition.substr(0, partition.rfind('s'));
}

std::optional<std::string> nonEmptyString(const PlistNode& node) {
  std::optional<std::string> text = node.asString();
  if (!text || text->empty()) return std::nullopt;
  return text;
}

std::string stringOr(const PlistNode& node, std::string fallback = {}) {
  return node.asString().value_or(std::move(fallback));
}

std::string lowerCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool isArrayOfDictionaries(const PlistNode& node) {
  if (node.type() != PlistType::array) return false;
  for (const PlistNode& element : node.elements()) {
    if (element.type() != PlistType::dictionary) return false;
  }
  return true;
}

[[noreturn]] void refuse(const std::string& message) { throw RescueDestinationError::refused(message); }

// A per-disk refusal: the reason, without the suffix.
struct DiskRefusal {
  std::string reason;
};

// What the APFS list and the startup volume tell about the whole tree.
struct ApfsMap {
  std::map<std::string, std::string> containerOfStore;            // "disk4s2" -> "disk5"
  std::map<std::string, std::vector<std::string>> storesOf;  // "disk5" -> stores
};

ApfsMap readApfs(const PropertyList& apfs) {
  const PlistNode containers = apfs.root().get("Containers");
  if (!isArrayOfDictionaries(containers)) refuse(kApfsIncompleteMessage);
  ApfsMap map;
  for (const PlistNode& container : containers.elements()) {
    const std::optional<std::string> reference = nonEmptyString(container.get("ContainerReference"));
    const PlistNode stores = container.get("PhysicalStores");
    const PlistNode volumes = container.get("Volumes");
    if (!reference || !isArrayOfDictionaries(stores) || !isArrayOfDictionaries(volumes) ||
        map.storesOf.contains(*reference)) {
      refuse(kApfsIncompleteMessage);
    }
    std::vector<std::string>& storeList = map.storesOf[*reference];
    for (const PlistNode& store : stores.elements()) {
      const std::optional<std::string> identifier = nonEmptyString(store.get("DeviceIdentifier"));
      if (!identifier) refuse(kApfsIncompleteMessage);
      if (!map.containerOfStore.emplace(*identifier, *reference).second) refuse(kAmbiguousDevicesMessage);
      storeList.push_back(*identifier);
    }
  }
  return map;
}

// The whole disks that hold the running system.
std::set<std::string> startupDisks(const PropertyList& startup, const ApfsMap& apfs,
                                   const std::set<std::string>& listed) {
  const PlistNode root = startup.root();
  const std::optional<std::string> parent = nonEmptyString(root.get("ParentWholeDisk"));
  if (!parent) refuse(kStartupUnverifiedMessage);
  std::set<std::string> disks;
  if (const std::optional<std::string> container = nonEmptyString(root.get("APFSContainerReference"))) {
    const auto stores = apfs.storesOf.find(*container);
    if (stores == apfs.storesOf.end() || stores->second.empty()) refuse(kStartupApfsUnverifiedMessage);
    for (const std::string& store : stores->second) {
      const std::optional<std::string> whole = wholeDiskOf(store);
      if (!whole) refuse(kStartupStoreParentMessage);
      disks.insert(*whole);
    }
  } else {
    disks.insert(*parent);
  }
  const bool external = root.get("Internal").asBool() == false;
  const bool mapped = std::any_of(disks.begin(), disks.end(), [&](const std::string& disk) { return listed.contains(disk); });
  if (external && !mapped) refuse(kExternalStartupUnmappedMessage);
  return disks;
}

std::optional<std::int64_t> capacityOf(const PlistNode& info) {
  for (const char* key : {"Size", "IOKitSize", "TotalSize"}) {
    if (const std::optional<std::int64_t> size = info.get(key).asInteger()) return size;
  }
  return std::nullopt;
}

std::string nameOf(const PlistNode& info) {
  for (const char* key : {"VolumeName", "Name", "MediaName", "IORegistryEntryName"}) {
    if (std::optional<std::string> name = nonEmptyString(info.get(key))) return *name;
  }
  return {};
}

// One external disk, judged: its identity, layout and rows so far, or its refusal.
class DiskInspection {
 public:
  DiskInspection(const DiskQuery& query, const PlistNode& listed, const std::string& identifier, double now)
      : query_(query), listed_(listed), now_(now) {
    parent_.identifier = identifier;
    partitionMap_ = stringOr(listed.get("Content"));
  }

  std::vector<RescueDestination> rows(const ApfsMap& apfs, const std::set<std::string>& startup) {
    try {
      inspect(apfs, startup);
    } catch (const DiskRefusal& refusal) {
      RescueDestination row = baseRow(RescueDestinationScope::wholeDisk, parent_.identifier);
      row.mediaName = parent_.mediaName;
      row.size = parent_.capacity;
      row.unavailableReason = refusal.reason + kDiskRefusalSuffix;
      return {row};
    }
    std::vector<RescueDestination> rows;
    RescueDestination whole = baseRow(RescueDestinationScope::wholeDisk, parent_.identifier);
    whole.mediaName = parent_.mediaName;
    whole.size = parent_.capacity;
    rows.push_back(whole);
    for (const PartitionReading& reading : readings_) {
      RescueDestination row = baseRow(RescueDestinationScope::partition, reading.identity.identifier);
      row.mediaName = reading.identity.name.empty() ? parent_.mediaName : reading.identity.name;
      row.size = reading.identity.size;
      row.filesystem = reading.personality;
      row.mountPoint = reading.mountPoint;
      row.unavailableReason = partitionUnavailableReason(
          {partitionMap_, reading.identity.content, reading.personality, reading.identity.size,
           reading.identity.volumeUUID, reading.writable, reading.parentWholeDisk == parent_.identifier,
           reading.encrypted, reading.locked, reading.fileVault});
      rows.push_back(std::move(row));
    }
    for (const ListedPartition& part : listedParts_) {
      if (part.content != kApfsPartitionType) continue;
      const std::string& container = apfs.containerOfStore.at(part.identifier);
      for (const PlistNode& volume : volumesOf(container)) {
        RescueDestination row = baseRow(RescueDestinationScope::sharedAPFSVolume, stringOr(volume.get("DeviceIdentifier")));
        row.mediaName = stringOr(volume.get("Name"));
        row.size = volume.get("CapacityInUse").asInteger().value_or(0);
        row.filesystem = kSharedApfsFilesystem;
        row.unavailableReason = kSharedApfsReason;
        rows.push_back(std::move(row));
      }
    }
    return rows;
  }

  void setApfsList(const PropertyList* apfs) { apfsList_ = apfs; }

 private:
  [[noreturn]] static void refuseDisk(std::string reason) { throw DiskRefusal{std::move(reason)}; }

  RescueDestination baseRow(RescueDestinationScope scope, std::string identifier) const {
    RescueDestination row;
    row.scope = scope;
    row.diskIdentifier = std::move(identifier);
    row.parent = parent_;
    row.partitionMap = partitionMap_;
    row.layout = layout_;
    row.checkedAt = platform::json::Date{now_};
    return row;
  }

  std::vector<PlistNode> volumesOf(const std::string& container) const {
    std::vector<PlistNode> volumes;
    if (apfsList_ == nullptr) return volumes;
    for (const PlistNode& entry : apfsList_->root().get("Containers").elements()) {
      if (entry.get("ContainerReference").asString() == container) return entry.get("Volumes").elements();
    }
    return volumes;
  }

  void inspect(const ApfsMap& apfs, const std::set<std::string>& startup) {
    const std::string identifier = parent_.identifier;
    std::optional<PropertyList> info;
    try {
      info = query_({"info", "-plist", "/dev/" + identifier});
    } catch (const RescueDestinationError& error) {
      passInspectionDeadlineOn(error);
      refuseDisk("Whole/external/physical identity or capacity is incomplete.");
    }
    const PlistNode root = info->root();
    const std::optional<std::int64_t> capacity = capacityOf(root);
    parent_.capacity = capacity.value_or(0);
    parent_.mediaName = nameOf(root);
    parent_.registryPath = stringOr(root.get("DeviceTreePath"));
    parent_.bus = stringOr(root.get("BusProtocol"));
    if (root.get("VirtualOrPhysical").asString() != "Physical") refuseDisk("This is not a verified physical device.");
    if (root.get("DeviceIdentifier").asString() != identifier || root.get("Internal").asBool() != false || !capacity) {
      refuseDisk("Whole/external/physical identity or capacity is incomplete.");
    }
    if (*capacity < kMinimumDestinationBytes) refuseDisk("Physical disk is smaller than 16 GB.");

    const PlistNode partitions = listed_.get("Partitions");
    if (partitions.type() == PlistType::array && partitions.size() > kMaxPartitionsPerDisk) {
      refuseDisk("Partition inspection limit exceeded; nothing approved.");
    }
    if (!isArrayOfDictionaries(partitions)) refuseDisk("The partition list is malformed.");
    std::set<std::string> seen;
    for (const PlistNode& entry : partitions.elements()) {
      const std::string part = stringOr(entry.get("DeviceIdentifier"));
      if (wholeDiskOf(part) != identifier || !seen.insert(part).second) {
        refuseDisk("Duplicate or invalid physical partition identifier.");
      }
      listedParts_.push_back({part, stringOr(entry.get("Content")), entry.get("Size").asInteger()});
    }
    for (const ListedPartition& listed : listedParts_) {
      PartitionReading reading;
      try {
        reading = readPartition(query_, listed.identifier);
      } catch (const RescueDestinationError& error) {
        passInspectionDeadlineOn(error);
        refuseDisk("Partition geometry or parent relationship cannot be verified for " + listed.identifier);
      }
      if (!listed.size || reading.parentWholeDisk != identifier) {
        refuseDisk("Partition geometry or parent relationship cannot be verified for " + listed.identifier);
      }
      if (reading.identity.content != listed.content) {
        refuseDisk("Partition type changed during inspection for " + listed.identifier);
      }
      if (partitionMap_ == kGuidPartitionScheme && reading.identity.partitionUUID.empty()) {
        refuseDisk("GUID partition identity is missing for " + listed.identifier);
      }
      reading.listedSize = *listed.size;
      reading.listedContent = listed.content;
      layout_.push_back(reading.identity);
      readings_.push_back(std::move(reading));
    }
    std::vector<RescuePartitionIdentity> extents = layout_;
    std::sort(extents.begin(), extents.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    for (std::size_t i = 0; i < extents.size(); ++i) {
      const bool negative = extents[i].offset < 0 || extents[i].size < 0;
      const bool overlaps = i + 1 < extents.size() && extents[i + 1].offset - extents[i].offset < extents[i].size;
      if (negative || overlaps) refuseDisk("Overlapping partition extents require review; no erase was approved.");
    }
    if (startup.contains(identifier)) refuseDisk(kStartupDeviceReason);
    if (root.get("WritableMedia").asBool() != true) {
      refuseDisk("Physical media is read-only or its write status could not be verified.");
    }
    for (const ListedPartition& listed : listedParts_) {
      if (isDependencyContent(listed.content)) {
        refuseDisk("CoreStorage/RAID dependencies require separate handling. This device is not approved for erasure "
                   "in this version.");
      }
    }
    for (const ListedPartition& listed : listedParts_) {
      if (listed.content != kApfsPartitionType) continue;
      const auto container = apfs.containerOfStore.find(listed.identifier);
      if (container == apfs.containerOfStore.end()) {
        refuseDisk("APFS physical-store/container relationships are incomplete. This device is protected until they "
                   "can be verified.");
      }
      for (const std::string& store : apfs.storesOf.at(container->second)) {
        if (wholeDiskOf(store) != identifier) {
          refuseDisk("This device participates in a multi-store APFS container. Erasing one member could affect other "
                     "devices; not supported.");
        }
      }
    }
  }

  const DiskQuery& query_;
  PlistNode listed_;
  double now_;
  const PropertyList* apfsList_ = nullptr;
  RescuePhysicalIdentity parent_;
  std::string partitionMap_;
  std::vector<RescuePartitionIdentity> layout_;
  std::vector<ListedPartition> listedParts_;
  std::vector<PartitionReading> readings_;
};

}  // namespace

PartitionReading readPartition(const DiskQuery& query, const std::string& identifier) {
  const PropertyList info = query({"info", "-plist", "/dev/" + identifier});
  const PlistNode root = info.root();
  const std::optional<std::int64_t> offset = root.get("PartitionMapPartitionOffset").asInteger();
  const std::optional<std::int64_t> size = root.get("Size").asInteger();
  const std::optional<std::string> parent = nonEmptyString(root.get("ParentWholeDisk"));
  if (!offset || !size || !parent || root.get("DeviceIdentifier").asString() != identifier) {
    refuse("Partition geometry or parent relationship cannot be verified for " + identifier);
  }
  PartitionReading reading;
  reading.identity = {identifier,
                      stringOr(root.get("DiskUUID")),
                      *offset,
                      *size,
                      stringOr(root.get("Content")),
                      stringOr(root.get("VolumeUUID")),
                      stringOr(root.get("VolumeName"))};
  reading.personality = lowerCased(stringOr(root.get("FilesystemType")));
  reading.mountPoint = nonEmptyString(root.get("MountPoint"));
  reading.writable = root.get("Writable").asBool();
  reading.parentWholeDisk = *parent;
  reading.encrypted = root.get("Encrypted").asBool().value_or(false);
  reading.locked = root.get("Locked").asBool().value_or(false);
  reading.fileVault = root.get("FileVault").asBool().value_or(false);
  return reading;
}

std::optional<std::vector<ListedPartition>> listedPartitions(const DiskQuery& query, const std::string& disk) {
  const PropertyList list = query(kListQuery);
  const PlistNode disks = list.root().get("AllDisksAndPartitions");
  if (!isArrayOfDictionaries(disks)) return std::nullopt;
  for (const PlistNode& entry : disks.elements()) {
    if (entry.get("DeviceIdentifier").asString() != disk) continue;
    const PlistNode partitions = entry.get("Partitions");
    if (!isArrayOfDictionaries(partitions)) return std::nullopt;
    std::vector<ListedPartition> listed;
    for (const PlistNode& part : partitions.elements()) {
      listed.push_back({stringOr(part.get("DeviceIdentifier")), stringOr(part.get("Content")), part.get("Size").asInteger()});
    }
    return listed;
  }
  return std::nullopt;
}

std::vector<RescueDestination> listDestinations(const DiskQuery& query, double now) {
  // 1. The external physical tree.
  const PropertyList list = query(kListQuery);
  const PlistNode disks = list.root().get("AllDisksAndPartitions");
  if (!isArrayOfDictionaries(disks)) refuse(kIncompleteTreeMessage);
  std::set<std::string> identifiers;
  std::map<std::string, std::string> diskOfPartition;
  for (const PlistNode& disk : disks.elements()) {
    const std::string identifier = stringOr(disk.get("DeviceIdentifier"));
    if (!wholeDiskPattern().matches(identifier) || !identifiers.insert(identifier).second) refuse(kAmbiguousTreeMessage);
    for (const PlistNode& part : disk.get("Partitions").elements()) {
      const std::string partition = stringOr(part.get("DeviceIdentifier"));
      if (partition.empty()) continue;
      const auto [claimed, inserted] = diskOfPartition.emplace(partition, identifier);
      if (!inserted && claimed->second != identifier) refuse(kAmbiguousDevicesMessage);
    }
  }

  // 2. Where the running system lives.
  std::optional<PropertyList> startup;
  try {
    startup = query(kStartupQuery);
  } catch (const RescueDestinationError& error) {
    passInspectionDeadlineOn(error);
    refuse(kStartupUnverifiedMessage);
  }

  // 3. APFS containers and their physical stores.
  std::optional<PropertyList> apfsList;
  try {
    apfsList = query(kApfsQuery);
  } catch (const RescueDestinationError& error) {
    passInspectionDeadlineOn(error);
    refuse(kApfsUnverifiedPrefix + std::string(error.what()));
  }
  const ApfsMap apfs = readApfs(*apfsList);
  const std::set<std::string> startupSet = startupDisks(*startup, apfs, identifiers);

  // 4-6. Each disk on its own.
  std::vector<RescueDestination> rows;
  for (const PlistNode& disk : disks.elements()) {
    DiskInspection inspection(query, disk, stringOr(disk.get("DeviceIdentifier")), now);
    inspection.setApfsList(&*apfsList);
    std::vector<RescueDestination> diskRows = inspection.rows(apfs, startupSet);
    rows.insert(rows.end(), std::make_move_iterator(diskRows.begin()), std::make_move_iterator(diskRows.end()));
  }
  return rows;
}

std::string inventoryKey(const RescueDestination& row) {
  return std::string(platform::json::rawValue(row.scope)) + ":" + row.diskIdentifier;
}

}  // namespace tidewarden::rescue
