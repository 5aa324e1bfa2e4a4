// The world section of disks: physical disks with their partitions, APFS containers, the
// diskutil queries made, changes waiting for a query, and Disk Arbitration mount requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::sim {

// One partition of a disk's map. `filesystem` is the file system type diskutil
// reports ("msdos", "exfat", "hfs", "apfs", "ntfs"; empty: none). UUIDs are empty when
// the partition has none.
struct WorldPartition {
  std::string identifier;  // "disk4s2"
  std::string content;     // partition type: "EFI", "Microsoft Basic Data", "Apple_HFS", "DOS_FAT_32", ...
  std::string filesystem;
  std::string partitionUUID;
  std::string volumeUUID;
  std::string volumeName;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  std::optional<std::string> mountPoint;
  bool writable = true;
  bool encrypted = false;
  bool locked = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("identifier", &WorldPartition::identifier),
        platform::json::field("content", &WorldPartition::content),
        platform::json::field("filesystem", &WorldPartition::filesystem),
        platform::json::field("partitionUUID", &WorldPartition::partitionUUID),
        platform::json::field("volumeUUID", &WorldPartition::volumeUUID),
        platform::json::field("volumeName", &WorldPartition::volumeName),
        platform::json::field("offset", &WorldPartition::offset),
        platform::json::field("size", &WorldPartition::size),
        platform::json::field("mountPoint", &WorldPartition::mountPoint),
        platform::json::field("writable", &WorldPartition::writable),
        platform::json::field("encrypted", &WorldPartition::encrypted),
        platform::json::field("locked", &WorldPartition::locked),
    };
  }
  friend bool operator==(const WorldPartition&, const WorldPartition&) = default;
};

// One physical disk. `partitionMap` is diskutil's scheme name ("GUID_partition_scheme",
// "FDisk_partition_scheme", "Apple_partition_scheme").
struct WorldDisk {
  std::string identifier;  // "disk4"
  std::string mediaName;
  std::string registryPath;  // device-tree path
  std::string bus;           // "USB", "Apple Fabric", ...
  std::int64_t size = 0;
  bool internal = false;
  bool writable = true;
  std::string partitionMap;
  std::vector<WorldPartition> partitions;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("identifier", &WorldDisk::identifier),
        platform::json::field("mediaName", &WorldDisk::mediaName),
        platform::json::field("registryPath", &WorldDisk::registryPath),
        platform::json::field("bus", &WorldDisk::bus),
        platform::json::field("size", &WorldDisk::size),
        platform::json::field("internal", &WorldDisk::internal),
        platform::json::field("writable", &WorldDisk::writable),
        platform::json::field("partitionMap", &WorldDisk::partitionMap),
        platform::json::field("partitions", &WorldDisk::partitions),
    };
  }
  friend bool operator==(const WorldDisk&, const WorldDisk&) = default;
};

struct WorldApfsVolume {
  std::string identifier;  // "disk5s1"
  std::string name;
  std::string uuid;
  std::int64_t capacityInUse = 0;
  std::optional<std::string> mountPoint;  // "/" marks the running system

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("identifier", &WorldApfsVolume::identifier),
        platform::json::field("name", &WorldApfsVolume::name),
        platform::json::field("uuid", &WorldApfsVolume::uuid),
        platform::json::field("capacityInUse", &WorldApfsVolume::capacityInUse),
        platform::json::field("mountPoint", &WorldApfsVolume::mountPoint),
    };
  }
  friend bool operator==(const WorldApfsVolume&, const WorldApfsVolume&) = default;
};

// An APFS container: its synthesized disk, the partitions that store it, its volumes.
struct WorldApfsContainer {
  std::string reference;                    // "disk5"
  std::vector<std::string> physicalStores;  // partition identifiers ("disk4s2")
  std::vector<WorldApfsVolume> volumes;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("reference", &WorldApfsContainer::reference),
        platform::json::field("physicalStores", &WorldApfsContainer::physicalStores),
        platform::json::field("volumes", &WorldApfsContainer::volumes),
    };
  }
  friend bool operator==(const WorldApfsContainer&, const WorldApfsContainer&) = default;
};

// Settings ("KEY=VALUE", as `disk set` takes them) applied to a disk or partition just
// before diskutil answers its `afterQueries`-th query from now.
struct WorldDiskChange {
  std::string target;
  std::vector<std::string> settings;
  std::int64_t afterQueries = 1;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("target", &WorldDiskChange::target),
        platform::json::field("settings", &WorldDiskChange::settings),
        platform::json::field("afterQueries", &WorldDiskChange::afterQueries),
    };
  }
  friend bool operator==(const WorldDiskChange&, const WorldDiskChange&) = default;
};

// A request to mount a partition, as Disk Arbitration asks its approval callbacks.
struct WorldMountRequest {
  std::int64_t id = 0;
  std::string identifier;
  std::string mountPoint;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("id", &WorldMountRequest::id),
        platform::json::field("identifier", &WorldMountRequest::identifier),
        platform::json::field("mountPoint", &WorldMountRequest::mountPoint),
    };
  }
  friend bool operator==(const WorldMountRequest&, const WorldMountRequest&) = default;
};

// What became of a mount request: mounted, or refused with the dissenter's message.
struct WorldMountOutcome {
  std::int64_t id = 0;
  std::string identifier;
  bool mounted = false;
  std::string refusal;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("id", &WorldMountOutcome::id),
        platform::json::field("identifier", &WorldMountOutcome::identifier),
        platform::json::field("mounted", &WorldMountOutcome::mounted),
        platform::json::field("refusal", &WorldMountOutcome::refusal),
    };
  }
  friend bool operator==(const WorldMountOutcome&, const WorldMountOutcome&) = default;
};

struct WorldDisks {
  std::vector<WorldDisk> disks;
  std::vector<WorldApfsContainer> containers;
  // diskutil's arguments, joined by spaces, oldest first; the last kMaxQueries are kept.
  std::vector<std::string> queries;
  std::vector<WorldDiskChange> pendingChanges;
  std::vector<WorldMountRequest> mountRequests;  // not yet answered
  std::vector<WorldMountOutcome> mountOutcomes;  // in the order they were answered
  std::int64_t nextMountRequest = 1;
  // `diskutil eraseVolume` leaves the converted partition this many bytes smaller (default 0).
  std::optional<std::int64_t> conversionShrinkBytes;
  // `diskutil eraseDisk` and `eraseVolume` never end by themselves and change nothing.
  std::optional<bool> eraseHangs;
  // `diskutil eraseDisk` and `eraseVolume` wait for the world's file kEraseGateFile before working.
  std::optional<bool> eraseGated;
  // Queries held so far by `disk hold-query`.
  std::int64_t heldQueries = 0;

  static constexpr std::size_t kMaxQueries = 256;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("disks", &WorldDisks::disks),
        platform::json::field("containers", &WorldDisks::containers),
        platform::json::field("queries", &WorldDisks::queries),
        platform::json::field("pendingChanges", &WorldDisks::pendingChanges),
        platform::json::field("mountRequests", &WorldDisks::mountRequests),
        platform::json::field("mountOutcomes", &WorldDisks::mountOutcomes),
        platform::json::field("nextMountRequest", &WorldDisks::nextMountRequest),
        platform::json::field("conversionShrinkBytes", &WorldDisks::conversionShrinkBytes),
        platform::json::field("eraseHangs", &WorldDisks::eraseHangs),
        platform::json::field("eraseGated", &WorldDisks::eraseGated),
        platform::json::field("heldQueries", &WorldDisks::heldQueries),
    };
  }
  friend bool operator==(const WorldDisks&, const WorldDisks&) = default;

  WorldDisk* findDisk(std::string_view identifier);
  // The partition and the disk holding it.
  std::pair<WorldDisk*, WorldPartition*> findPartition(std::string_view identifier);
  WorldApfsContainer* findContainer(std::string_view reference);
  // A disk number no disk or container uses yet, from 4 up.
  int freeDiskNumber() const;
};

// A new Mac's internal startup disk: disk0 with its APFS container disk3 holding the
// system volume mounted at "/" and the data volume.
WorldDisks freshWorldDisks();

// Presets of `disk add --preset`, in the order the usage text lists them.
const std::vector<std::string_view>& worldDiskPresetNames();
// Adds the preset `name` as disk N (a free number) and returns its identifier; throws
// WorldError for an unknown preset.
std::string addWorldDiskPreset(WorldDisks& disks, std::string_view name);

// Applies "KEY=VALUE" settings to the disk or partition `target`. Partition keys:
// content, filesystem, size, offset, uuid, volume-uuid, name, mount (a path or none),
// writable, encrypted, locked. Disk keys: media-name, size, bus, registry-path, map,
// writable, internal. Throws WorldError naming what does not fit; nothing is changed then.
void applyWorldDiskSettings(WorldDisks& disks, const std::string& target, const std::vector<std::string>& settings);

// A new GUID map on the external disk `identifier`: its EFI partition and one HFS data
// partition named `volumeName` over the rest, neither mounted; the APFS containers it
// stored go. Throws WorldError when there is no such external disk.
void eraseWorldDiskAsGpt(WorldDisks& disks, const std::string& identifier, const std::string& volumeName);
// Whether a partition or APFS volume is mounted at `mountPoint`.
bool worldMountPointTaken(const WorldDisks& disks, const std::string& mountPoint);
// Mounts (a path) or unmounts (nullopt) the partition or APFS volume `identifier`;
// throws WorldError when there is none. A mount at an occupied path is refused.
void setWorldMountPoint(WorldDisks& disks, const std::string& identifier, const std::optional<std::string>& mountPoint);
// Where `identifier` is mounted when nothing says otherwise: /Volumes/ + its volume name
// (or the identifier when it has none).
std::string defaultWorldMountPoint(WorldDisks& disks, const std::string& identifier);
// Removes a disk with its partitions and the APFS containers stored on it; throws
// WorldError when there is no such external disk.
void removeWorldDisk(WorldDisks& disks, const std::string& identifier);

// Range checks beyond the JSON types; throws WorldError naming the value.
void checkWorldDisks(const WorldDisks& disks);

}  // namespace tidewarden::sim
