// Verification of the formatted partition and its siblings against the reviewed destination.
#include "rescue/rescue_destination_verification.h"

#include <algorithm>

#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"
#include "rescue/rescue_drive_error.h"
#include "rescue/rescue_partition_eligibility.h"

namespace tidewarden::rescue {
namespace {

[[noreturn]] void stop(const std::string& text) {
  throw RescueDriveError::invalidDisk(kVerificationPrefix + text + kVerificationSuffix);
}

std::string change(std::int64_t before, std::int64_t after) {
  return std::to_string(before) + " → " + std::to_string(after) + " bytes.";
}

}  // namespace

std::int64_t verifyFormattedPartition(const RescueDestination& reviewed, const RescueSiblingMountSnapshot& snapshot,
                                      std::int64_t requirementBytes, bool conversionRan, const DiskQuery& query) {
  const std::string& selected = reviewed.diskIdentifier;
  const auto original = std::find_if(reviewed.layout.begin(), reviewed.layout.end(),
                                     [&](const RescuePartitionIdentity& part) { return part.identifier == selected; });
  if (original == reviewed.layout.end()) stop("The original selected-partition evidence is missing.");

  std::vector<RescueDestination> rows;
  PartitionReading now;
  std::optional<std::vector<ListedPartition>> listed;
  try {
    rows = listDestinations(query, 0);
  } catch (const RescueDestinationError& error) {
    stop(error.what());
  }
  try {
    now = readPartition(query, selected);
    listed = listedPartitions(query, reviewed.parent.identifier);
  } catch (const RescueDestinationError& error) {
    stop("The selected partition " + selected + " could not be reread. " + error.what());
  }
  const std::string key = "partition:" + selected;
  const auto matches = [&](const RescueDestination& row) { return inventoryKey(row) == key; };
  const auto fresh = std::find_if(rows.begin(), rows.end(), matches);
  if (fresh == rows.end()) stop("The destination is no longer eligible.");
  const auto listedSelf = listed ? std::find_if(listed->begin(), listed->end(),
                                                [&](const ListedPartition& part) { return part.identifier == selected; })
                                 : std::vector<ListedPartition>::iterator{};
  if (std::count_if(rows.begin(), rows.end(), matches) != 1 || !listed || listedSelf == listed->end() ||
      std::count_if(listed->begin(), listed->end(), [&](const ListedPartition& part) { return part.identifier == selected; }) != 1) {
    stop("macOS returned no unique record.");
  }

  if (fresh->parent != reviewed.parent) stop("The physical parent identity changed.");
  // A partition that became read-only, encrypted or locked is not taken as written.
  if (fresh->unavailableReason) stop(*fresh->unavailableReason);
  if (now.identity.partitionUUID.empty() || now.identity.partitionUUID != original->partitionUUID) {
    stop(kPartitionIdentityChanged);
  }
  if (fresh->partitionMap != reviewed.partitionMap) stop("The partition-map scheme changed.");
  if (now.identity.offset != original->offset) {
    stop("Selected partition start changed: " + change(original->offset, now.identity.offset));
  }
  if (!listedSelf->size || *listedSelf->size != now.identity.size) stop("Selected-partition size evidence is inconsistent.");
  if (now.identity.size > original->size) {
    stop("Filesystem conversion expanded the selected partition: " + change(original->size, now.identity.size));
  }
  if (!conversionRan && now.identity.size != original->size) {
    stop("Selected partition size changed outside filesystem conversion: " + change(original->size, now.identity.size));
  }
  if (now.identity.size < requirementBytes) {
    stop("Formatted partition has " + std::to_string(now.identity.size) + " bytes; at least " +
         std::to_string(requirementBytes) + " bytes are required. It will not be enlarged automatically.");
  }
  if (fresh->layout.size() != reviewed.layout.size()) stop("The number of partition-map entries changed.");
  if (now.identity.content != kHfsPartitionType || !isHfsPersonality(now.personality)) {
    stop("The selected partition is not a verified HFS installer volume.");
  }
  for (const RescuePartitionIdentity& sibling : snapshot.siblings) {
    const auto same = [&](const RescuePartitionIdentity& part) { return part.identifier == sibling.identifier; };
    if (std::count_if(fresh->layout.begin(), fresh->layout.end(), same) != 1) {
      stop("Sibling " + sibling.identifier + " is missing or ambiguous.");
    }
    const std::vector<std::string> fields =
        changedPartitionFields(sibling, *std::find_if(fresh->layout.begin(), fresh->layout.end(), same));
    if (!fields.empty()) {
      std::string text = "Sibling " + sibling.identifier + " changed: ";
      for (std::size_t i = 0; i < fields.size(); ++i) text += (i ? ", " : "") + fields[i];
      stop(text);
    }
  }
  return now.identity.size;
}

std::string extentDecreasedNote(std::int64_t sizeBefore, std::int64_t sizeAfter) {
  return " The selected partition extent decreased by " + std::to_string(sizeBefore - sizeAfter) +
         " bytes during filesystem conversion (" + std::to_string(sizeBefore) + " → " + std::to_string(sizeAfter) +
         " bytes), with the same start and unchanged sibling partition records.";
}

}  // namespace tidewarden::rescue
