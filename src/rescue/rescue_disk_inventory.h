// The external disk inventory: every destination row, offered or refused with its reason, from diskutil alone.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rescue/rescue_disk_query.h"
#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

// Whole-tree refusals: nothing is approved.
inline constexpr const char* kIncompleteTreeMessage =
    "macOS did not return a complete external physical-disk tree. No destination was approved.";
inline constexpr const char* kAmbiguousTreeMessage = "The external disk tree contains ambiguous or invalid identities.";
inline constexpr const char* kStartupUnverifiedMessage =
    "Cannot verify where the running macOS startup volume resides. No erase destination was approved.";
inline constexpr const char* kApfsIncompleteMessage = "APFS container metadata was incomplete.";
inline constexpr const char* kStartupApfsUnverifiedMessage =
    "The running startup volume's APFS storage could not be verified. No erase destination was approved.";
inline constexpr const char* kApfsUnverifiedPrefix = "APFS relationships are unverified: ";
inline constexpr const char* kExternalStartupUnmappedMessage =
    "The external startup volume could not be mapped to its physical storage. Nothing was approved.";
inline constexpr const char* kStartupStoreParentMessage =
    "A startup physical store has an unresolved parent. No erase is allowed.";
inline constexpr const char* kAmbiguousDevicesMessage =
    "Destination identities are ambiguous across physical devices. No erase is allowed.";

// Appended to a per-disk refusal in that disk's row.
inline constexpr const char* kDiskRefusalSuffix = " No erase destination on this device was approved.";
inline constexpr const char* kStartupDeviceReason = "This device contains the running macOS startup volume and is protected.";
inline constexpr const char* kSharedApfsFilesystem = "APFS (shared container)";
inline constexpr const char* kSharedApfsReason =
    "Shared APFS volume, not an independent partition. This version will not destroy its container to create "
    "installer media.";
inline constexpr std::size_t kMaxPartitionsPerDisk = 256;

// What "info -plist /dev/PARTITION" says of one partition, beside its list entry.
struct PartitionReading {
  RescuePartitionIdentity identity;  // offset, size and content from info; UUIDs and name from info
  std::int64_t listedSize = 0;       // the partition map's size, from the list
  std::string listedContent;
  std::string personality;  // lower-cased file system type; empty: none
  std::optional<std::string> mountPoint;
  std::optional<bool> writable;
  std::string parentWholeDisk;
  bool encrypted = false;
  bool locked = false;
  bool fileVault = false;
};

// Reads one partition with info -plist; throws RescueDestinationError with the query's
// message, or "Partition geometry or parent relationship cannot be verified for ID"
// when its offset, size or parent is missing.
PartitionReading readPartition(const DiskQuery& query, const std::string& identifier);

// The partition identifiers the external list gives for `disk`, in map order, with
// their listed content and size; nothing when the list does not have the disk or its
// partition list is malformed. Throws what the query throws.
struct ListedPartition {
  std::string identifier;
  std::string content;
  std::optional<std::int64_t> size;
};
std::optional<std::vector<ListedPartition>> listedPartitions(const DiskQuery& query, const std::string& disk);

// Builds every destination row: per external physical disk a "wholeDisk" row and one
// row per partition, or one refused row for a refused disk, and one
// "sharedAPFSVolume" row per volume of an external APFS container; `checkedAt` is
// `now`. A failure of the tree as a whole (the list, the startup volume, the APFS
// relationships) throws RescueDestinationError and approves nothing. Writes nothing.
std::vector<RescueDestination> listDestinations(const DiskQuery& query, double now);

// "partition:disk4s2": how rows are compared.
std::string inventoryKey(const RescueDestination& row);

}  // namespace tidewarden::rescue
