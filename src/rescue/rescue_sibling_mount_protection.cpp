// Sibling mount protection: the snapshot, the approval callback that refuses sibling mounts, and the check afterwards.
#include "rescue/rescue_sibling_mount_protection.h"

#include <algorithm>

#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"

namespace tidewarden::rescue {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw RescueDestinationError::refused(message); }

bool isSibling(const RescueSiblingMountSnapshot& snapshot, const std::string& bsdName) {
  return std::any_of(snapshot.siblings.begin(), snapshot.siblings.end(),
                     [&](const RescuePartitionIdentity& sibling) { return sibling.identifier == bsdName; });
}

const RescuePartitionIdentity& siblingNamed(const RescueSiblingMountSnapshot& snapshot, const std::string& bsdName) {
  return *std::find_if(snapshot.siblings.begin(), snapshot.siblings.end(),
                       [&](const RescuePartitionIdentity& sibling) { return sibling.identifier == bsdName; });
}

std::optional<std::string> uuidOrNothing(const std::string& uuid) {
  return uuid.empty() ? std::nullopt : std::optional(uuid);
}

// Whether Disk Arbitration's description of a sibling and its whole disk still names
// the snapshot's records.
bool describesSnapshot(const platform::DiskDescription& disk, const platform::DiskDescription& whole,
                       const RescuePartitionIdentity& sibling, const RescueSiblingMountProtection::Context& context) {
  return disk.mediaBSDName == sibling.identifier && disk.mediaUUID == uuidOrNothing(sibling.partitionUUID) &&
         disk.mediaSize == sibling.size && whole.mediaBSDName == context.snapshot.parent.identifier &&
         whole.devicePath == context.parentPath;
}

// The approval callback, on the protection's queue.
std::optional<platform::MountDissent> approveMount(platform::DiskArbitrationSession& session,
                                                   RescueSiblingMountProtection::Context& context,
                                                   const std::string& bsdName) {
  const RescueSiblingMountSnapshot& snapshot = context.snapshot;
  if (!isSibling(snapshot, bsdName) || snapshot.initiallyMounted.contains(bsdName)) return std::nullopt;
  const std::optional<platform::DiskDescription> disk = session.describe(bsdName);
  const std::optional<platform::DiskDescription> whole = session.describeWholeDisk(bsdName);
  std::optional<std::string> issue;
  if (!disk || !whole) {
    issue = kSiblingRequestUnverifiedIssue;
  } else if (!describesSnapshot(*disk, *whole, siblingNamed(snapshot, bsdName), context)) {
    issue = kSiblingIdentityChangedIssue;
  }
  if (issue) {
    std::lock_guard lock(context.lock);
    if (!context.issue) context.issue = issue;
  }
  return platform::MountDissent{platform::kDiskArbitrationBusy, kSiblingDissentMessage};
}

}  // namespace

RescueSiblingMountSnapshot captureSnapshot(const RescueDestination& destination, const DiskQuery& query) {
  if (destination.scope != RescueDestinationScope::partition) refuse("Mount protection requires a selected partition.");
  RescueSiblingMountSnapshot snapshot{destination.parent, destination.diskIdentifier, {}, {}};
  const std::optional<std::vector<ListedPartition>> listed = listedPartitions(query, destination.parent.identifier);
  if (!listed) refuse("Cannot capture sibling mount state for " + destination.parent.identifier + ". Nothing was erased.");
  for (const ListedPartition& part : *listed) {
    if (part.identifier == destination.diskIdentifier) continue;
    try {
      const PartitionReading reading = readPartition(query, part.identifier);
      snapshot.siblings.push_back(reading.identity);
      if (reading.mountPoint) snapshot.initiallyMounted.insert(part.identifier);
    } catch (const RescueDestinationError&) {
      refuse("Cannot capture sibling mount state for " + part.identifier + ". Nothing was erased.");
    }
  }
  return snapshot;
}

std::vector<std::string> changedPartitionFields(const RescuePartitionIdentity& before,
                                                const RescuePartitionIdentity& after) {
  std::vector<std::string> fields;
  if (before.partitionUUID != after.partitionUUID) fields.emplace_back("partition UUID");
  if (before.offset != after.offset) fields.emplace_back("start offset");
  if (before.size != after.size) fields.emplace_back("extent size");
  if (before.content != after.content) fields.emplace_back("partition type");
  if (before.volumeUUID != after.volumeUUID) fields.emplace_back("volume UUID");
  if (before.name != after.name) fields.emplace_back("volume name");
  return fields;
}

void verifyUnchanged(const RescueSiblingMountSnapshot& snapshot, const DiskQuery& query) {
  for (const RescuePartitionIdentity& sibling : snapshot.siblings) {
    PartitionReading reading;
    try {
      reading = readPartition(query, sibling.identifier);
    } catch (const RescueDestinationError&) {
      refuse("Sibling " + sibling.identifier +
             " could not be verified while protecting mount state. No further operation was started.");
    }
    if (reading.mountPoint.has_value() != snapshot.initiallyMounted.contains(sibling.identifier)) {
      refuse("Sibling " + sibling.identifier +
             " changed its mounted state during creation. It was not automatically mounted, force-unmounted or erased "
             "by a recovery step. No further write was started.");
    }
    const std::vector<std::string> fields = changedPartitionFields(sibling, reading.identity);
    if (!fields.empty()) {
      std::string text = "Sibling " + sibling.identifier + " changed: ";
      for (std::size_t i = 0; i < fields.size(); ++i) text += (i ? ", " : "") + fields[i];
      refuse(text);
    }
  }
}

RescueSiblingMountProtection::RescueSiblingMountProtection(RescueSiblingMountSnapshot snapshot,
                                                           platform::DiskArbitration& arbitration)
    : snapshot_(std::move(snapshot)) {
  context_ = std::make_shared<Context>();
  context_->snapshot = snapshot_;
  context_->parentPath = snapshot_.parent.registryPath;
  session_ = arbitration.createSession(queue_);
  if (!session_) refuse(kProtectionNotEstablishedMessage);
  for (const RescuePartitionIdentity& sibling : snapshot_.siblings) {
    const std::optional<platform::DiskDescription> disk = session_->describe(sibling.identifier);
    const std::optional<platform::DiskDescription> whole = session_->describeWholeDisk(sibling.identifier);
    if (!disk || !whole) {
      tearDown();
      refuse(kProtectionNotEstablishedMessage);
    }
    if (!describesSnapshot(*disk, *whole, sibling, *context_)) {
      tearDown();
      refuse("Sibling " + sibling.identifier +
             " changed before mount protection could be established. Refresh Drives; nothing was erased.");
    }
  }
  platform::DiskArbitrationSession* session = session_.get();
  std::shared_ptr<Context> context = context_;
  if (!session_->registerMountApproval(
          [session, context](const std::string& bsdName) { return approveMount(*session, *context, bsdName); })) {
    tearDown();
    refuse(kProtectionNotEstablishedMessage);
  }
}

RescueSiblingMountProtection::~RescueSiblingMountProtection() { tearDown(); }

void RescueSiblingMountProtection::tearDown() {
  if (!session_) return;
  session_->unregisterMountApproval();
  session_.reset();
}

void RescueSiblingMountProtection::finish() {
  tearDown();
  std::optional<std::string> issue;
  queue_.sync([&] {
    std::lock_guard lock(context_->lock);
    issue = context_->issue;
  });
  if (issue) refuse(*issue);
}

}  // namespace tidewarden::rescue
