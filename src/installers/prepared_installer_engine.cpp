// Reviews of the installer applications in /Applications, and the image release and deletion they approve.
#include "installers/prepared_installer_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "installers/installer_application_name.h"
#include "installers/installer_deletion_record.h"
#include "installers/installer_identity.h"
#include "installers/installer_idle_probe.h"
#include "installers/installer_image_release.h"
#include "installers/installer_signature.h"
#include "installers/installer_tree_rules.h"
#include "installers/prepared_installer_handle.h"
#include "platform/clock.h"
#include "platform/directory_io.h"
#include "platform/file_flags.h"
#include "platform/file_io.h"
#include "platform/uuid.h"
#include "storage/approved_tree_removal.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::installers {
namespace {

using storage::InstallerSafetyError;
using storage::PreparationTreeSnapshot;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

constexpr const char* kDeleteReason =
    "Reusable local installer, not junk. Optional permanent deletion affects only this application. Download another "
    "installer later if needed; availability of this exact build depends on Apple.";
constexpr const char* kInterruptedReason =
    "An earlier deletion of this installer was interrupted; what is left of it can no longer be used as an "
    "installer. Permanent deletion of what is left is offered again; nothing new or changed will be removed.";
constexpr const char* kRemainsChanged =
    "An earlier deletion of this installer was interrupted, and what is left changed since. Remove it by hand "
    "after checking it.";
constexpr const char* kReleaseReason =
    "An image inside this local installer is still mounted. Release Installer Image\u2026 safely disconnects only the "
    "listed virtual image before a separate deletion review. Nothing is deleted by releasing it.";
constexpr const char* kDeleted =
    "Local installer permanently deleted; removal verified. It was not moved to Trash. The completed USB was not "
    "accessed or changed. This action cannot be undone in Tidewarden. Download another installer when needed; "
    "exact-build availability depends on Apple.";
constexpr const char* kReleased =
    "Installer image release verified. The local installer was kept; no storage was deleted. Its deletion "
    "eligibility will now be checked again. Your USB and unrelated images were not targeted.";

// Removes a deletion record, trying a second time once; false when neither worked.
bool dropDeletionRecord(const platform::Platform& platform, const std::string& name) {
  return removeDeletionRecord(platform, name) || removeDeletionRecord(platform, name);
}

std::string recordNotRemoved(const std::string& name) {
  return "The installer deletion record " + name + " in " + std::string(kInstallerDeletionRecordFolder) +
         " could not be removed; the next check of Installer Storage removes it.";
}

bool absent(const std::string& name, int parentFd) {
  return !platform::fileFactsAt(parentFd, name) && errno == ENOENT;
}

// Opens, verifies, snapshots and checks the reviewed installer, and requires it to be
// exactly what the review saw; `changed` is the refusal for any difference.
struct Reopened {
  PreparedInstallerHandle handle;
  PreparationTreeSnapshot snapshot;
};

Reopened reopenReviewed(const platform::Platform& platform, const std::function<double()>& clock,
                        const PreparedInstallerItem& item,
                        const PreparationTreeSnapshot& reviewed, const storage::InstallerFileIdentity* reviewedBundle,
                        const char* changed) {
  try {
    if (!immediateInstallerName(item.path)) refuse(kImmediateInstallerOnlyMessage);
    Reopened now{openHandle(platform, item.path), {}};
    verifyHandle(now.handle);
    now.snapshot = snapshotInstallerTree(platform, now.handle, clock);
    applyInstallerTreeRules(now.snapshot, item.path);
    verifyHandle(now.handle);
    if (!sameInstallerTree(now.snapshot, reviewed) ||
        (reviewedBundle != nullptr && now.handle.identity != *reviewedBundle)) {
      refuse(changed);
    }
    installerIdentity(platform, item.path);
    return now;
  } catch (const std::exception&) {
    refuse(changed);
  }
}

// What is left of an interrupted deletion may be an empty bundle, which has nothing to
// measure; every entry that is left keeps the tree rules.
void applyTreeRules(const PreparationTreeSnapshot& snapshot, const std::string& path, bool remains) {
  if (!remains || !snapshot.entries.empty()) applyInstallerTreeRules(snapshot, path);
}

// The fresh snapshot of an open handle, checked and required equal to `reviewed`.
void requireUnchanged(const platform::Platform& platform, const std::function<double()>& clock,
                      const PreparedInstallerHandle& handle,
                      const PreparationTreeSnapshot& reviewed, const char* changed, bool remains = false) {
  try {
    verifyHandle(handle);
    const PreparationTreeSnapshot now = snapshotInstallerTree(platform, handle, clock);
    applyTreeRules(now, handle.path, remains);
    verifyHandle(handle);
    if (!sameInstallerTree(now, reviewed)) refuse(changed);
  } catch (const std::exception&) {
    refuse(changed);
  }
}

}  // namespace

PreparedInstallerEngine::PreparedInstallerEngine(const platform::Platform& platform) : platform_(platform) {
  imageProbes.inspect = [&platform](const std::string& path) { return inspectInstallerImages(platform, path); };
  imageProbes.requireNotInUse = [&platform](const std::string& path,
                                            const std::vector<PreparedInstallerAttachment>& attachments) {
    requireInstallerImagesNotInUse(platform, path, attachments);
  };
  imageProbes.detach = [&platform](const std::string& path, const PreparedInstallerAttachment& attachment) {
    detachInstallerImage(platform, path, attachment);
  };
  probes.validateSignature = [&platform](const std::string& path) { validateInstallerSignature(platform, path); };
  probes.requireIdle = [&platform](const std::string& path) { requireInstallerIdle(platform, path); };
  probes.freeSpace = [&platform](const std::string& path) { return installerVolumeFreeSpace(platform, path); };
  clock = [&platform] { return platform.clock.now(); };
}

void PreparedInstallerEngine::reviewItem(PreparedInstallerItem& item, const PendingDeletions& pending) {
  PreparedInstallerHandle handle = openHandle(platform_, item.path);
  verifyHandle(handle);
  const PreparationTreeSnapshot first = snapshotInstallerTree(platform_, handle, clock);
  const auto interrupted = pending.find({handle.identity.device, handle.identity.inode});
  if (interrupted != pending.end() && interrupted->second.second.path == item.path) {
    const auto& [recordName, record] = interrupted->second;
    if (!remainsAreWhole(first, record)) {
      reviewRemains(item, handle, first, recordName, record);
      return;
    }
    // Killed after its record and before its first removal: the installer is whole and
    // is reviewed like any other, with every check, once the record is gone.
    if (!dropDeletionRecord(platform_, recordName)) refuse(recordNotRemoved(recordName));
  }
  item.allocatedBytes = first.allocatedBytes;
  item.logicalBytes = first.logicalBytes;
  applyInstallerTreeRules(first, item.path);
  requireRemovableBundle(platform_, handle);
  installerIdentity(platform_, item.path);
  probes.validateSignature(item.path);

  const std::vector<PreparedInstallerAttachment> attachments = imageProbes.inspect(item.path);
  if (!attachments.empty()) {
    try {
      verifyHandle(handle);
      if (!sameInstallerTree(snapshotInstallerTree(platform_, handle, clock), first)) refuse("");
    } catch (const std::exception&) {
      refuse("The installer changed during image inspection. Check Installer Storage again.");
    }
    for (const PreparedInstallerAttachment& attachment : attachments) item.attachedImages.push_back(attachment.display);
    item.canReleaseImages = true;
    item.reason = kReleaseReason;
    imageApprovals[item.id] = ImageApproval{item, first, attachments, handle.identity};
    return;
  }
  probes.requireIdle(item.path);
  constexpr const char* kChanged = "The local installer changed while being checked. Check Installer Storage again.";
  const storage::InstallerFileIdentity bundle = handle.identity;
  try {
    verifyHandle(handle);
    const PreparationTreeSnapshot second = snapshotInstallerTree(platform_, handle, clock);
    applyInstallerTreeRules(second, item.path);
    verifyHandle(handle);
    const auto named = platform::fileFactsAt(handle.parentFD.get(), handle.name);
    if (!sameInstallerTree(second, first) || !named || storage::fileIdentity(*named) != bundle) refuse(kChanged);
  } catch (const std::exception&) {
    refuse(kChanged);
  }
  item.canDelete = true;
  item.reason = kDeleteReason;
  approvals[item.id] = Approval{item, first, std::nullopt, bundle};
}

// A bundle whose deletion a crash cut short fails its identity and signature checks by
// necessity, so those two are not asked of it; every other guard is: the same root-owned
// directory the record names, nothing in it that the record does not hold unchanged, the
// tree rules, no attached image, no open file and no installer process.
void PreparedInstallerEngine::reviewRemains(PreparedInstallerItem& item, const PreparedInstallerHandle& handle,
                                            const PreparationTreeSnapshot& first, const std::string& recordName,
                                            const InstallerDeletionRecord& record) {
  item.allocatedBytes = first.allocatedBytes;
  item.logicalBytes = first.logicalBytes;
  applyTreeRules(first, item.path, /*remains=*/true);
  requireRemovableBundle(platform_, handle);
  if (!remainsMatchRecord(first, record)) refuse(kRemainsChanged);
  if (!imageProbes.inspect(item.path).empty()) {
    refuse("An image inside what is left of an interrupted installer deletion is still attached. Eject it, then "
           "Check Installer Storage again.");
  }
  probes.requireIdle(item.path);
  requireUnchanged(platform_, clock, handle, first, kRemainsChanged, /*remains=*/true);
  item.canDelete = true;
  item.reason = kInterruptedReason;
  approvals[item.id] = Approval{item, first, recordName, handle.identity};
}

// The readable deletion records whose bundle is still there, by its directory's device
// and inode. A record whose bundle is gone (or replaced by another directory) is dropped;
// one that cannot be read is kept and makes the scan incomplete.
PreparedInstallerEngine::PendingDeletions PreparedInstallerEngine::pendingDeletions(
    PreparedInstallerScanResponse& response) {
  PendingDeletions pending;
  std::vector<StoredDeletionRecord> stored;
  try {
    stored = readDeletionRecords(platform_);
  } catch (const std::exception& error) {
    response.warnings.emplace_back(error.what());
    response.complete = false;
    return pending;
  }
  for (StoredDeletionRecord& entry : stored) {
    if (!entry.record) {
      response.warnings.emplace_back("An installer deletion record could not be read; an interrupted deletion may "
                                     "not be shown.");
      response.complete = false;
      continue;
    }
    try {
      const std::string name = entry.record->path.substr(entry.record->path.rfind('/') + 1);
      const platform::UniqueFd parent = storage::openDirectoryNoFollow(platform_.root, applicationsRoot);
      const auto facts = platform::fileFactsAt(parent.get(), name);
      if (!facts && errno != ENOENT) continue;
      const bool gone = !facts || static_cast<std::uint64_t>(facts->device) != entry.record->device ||
                        static_cast<std::uint64_t>(facts->inode) != entry.record->inode;
      if (gone) {
        if (!dropDeletionRecord(platform_, entry.name)) response.warnings.push_back(recordNotRemoved(entry.name));
        continue;
      }
    } catch (const std::exception&) {
      continue;  // cannot tell: the record stays for a later scan
    }
    const auto key = std::make_pair(entry.record->device, entry.record->inode);
    pending.emplace(key, std::make_pair(entry.name, std::move(*entry.record)));
  }
  return pending;
}

PreparedInstallerScanResponse PreparedInstallerEngine::scan(const PreparedInstallerScanRequest& request) {
  std::lock_guard lock(stateLock);
  PreparedInstallerScanResponse response;
  const double started = clock();
  response.checkedAt = {started};
  response.complete = true;
  std::erase_if(approvals, [&](const auto& entry) { return entry.second.item.expiresAt.secondsSinceReferenceDate <= started; });
  std::erase_if(imageApprovals,
                [&](const auto& entry) { return entry.second.item.expiresAt.secondsSinceReferenceDate <= started; });
  if (approvals.size() > kMaxApprovals) approvals.clear();
  if (imageApprovals.size() > kMaxApprovals) imageApprovals.clear();

  std::vector<std::string> candidates;
  if (request.onlyPath) {
    if (immediateInstallerName(*request.onlyPath)) {
      candidates.push_back(*request.onlyPath);
    } else {
      response.warnings.emplace_back(kImmediateInstallerOnlyMessage);
    }
  } else {
    try {
      const platform::UniqueFd root = storage::openDirectoryNoFollow(platform_.root, applicationsRoot);
      auto listing = platform::listDirectory(root.get(), kApplicationsListingLimit);
      if (!listing) refuse("Cannot list " + applicationsRoot + ": " + platform::errnoText(errno));
      if (listing->truncated) refuse("Cannot list " + applicationsRoot + ": it holds too many entries to check.");
      std::sort(listing->names.begin(), listing->names.end());
      for (const std::string& name : listing->names) {
        if (isInstallerApplicationName(name)) candidates.push_back(applicationsRoot + "/" + name);
      }
    } catch (const std::exception& error) {
      response.warnings.emplace_back(error.what());
      response.complete = false;
    }
    if (candidates.size() > kMaxInstallersPerScan) {
      candidates.resize(kMaxInstallersPerScan);
      response.warnings.emplace_back(
          "Only the first 32 matching local installer applications were checked. Results are partial.");
      response.complete = false;
    }
  }

  const PendingDeletions pending = pendingDeletions(response);
  // Space for the record of the deletion this scan may approve, set aside while there is
  // space; a deletion without it can still write a record file of its own.
  ensureDeletionRecordSlot(platform_);
  const double deadline = started + kScanTimeLimitSeconds;
  for (const std::string& path : candidates) {
    const double now = clock();
    if (now >= deadline) {
      response.warnings.emplace_back("Installer inventory reached its time limit. Remaining applications were not checked.");
      response.complete = false;
      break;
    }
    PreparedInstallerItem item;
    item.id = platform::makeUuidString();
    item.path = path;
    const std::string name = path.substr(path.rfind('/') + 1);
    item.name = name.substr(0, name.size() - 4);
    item.checkedAt = {now};
    item.expiresAt = {now + kReviewLifetimeSeconds};
    try {
      reviewItem(item, pending);
    } catch (const std::exception& error) {
      approvals.erase(item.id);
      imageApprovals.erase(item.id);
      item.canDelete = false;
      item.canReleaseImages = false;
      item.attachedImages.clear();
      item.reason = std::string("Cannot approve permanent deletion: ") + error.what();
      try {
        const platform::UniqueFd parent = storage::openDirectoryNoFollow(platform_.root, applicationsRoot);
        if (absent(name, parent.get())) continue;
      } catch (const std::exception&) {
        // The folder itself is gone or unreadable: the item stays with its reason.
      }
    }
    response.items.push_back(std::move(item));
  }
  return response;
}

PreparedInstallerImageReleaseResponse PreparedInstallerEngine::releaseImages(
    const PreparedInstallerImageReleaseRequest& request) {
  std::lock_guard lock(stateLock);
  PreparedInstallerImageReleaseResponse response;
  try {
    if (!request.releaseAcknowledged || !request.noInstallationInProgressAcknowledged) {
      refuse("Confirm image release and that no installation or installer-creation operation is running. Nothing was "
             "released.");
    }
    const auto found = imageApprovals.find(request.candidateID);
    std::optional<ImageApproval> review;
    if (found != imageApprovals.end()) {
      review = std::move(found->second);
      imageApprovals.erase(found);
    }
    if (!review || review->item.expiresAt.secondsSinceReferenceDate <= clock()) {
      refuse("This image review expired or was already used. Check Installer Storage and review again.");
    }
    response.path = review->item.path;
    const std::string& path = review->item.path;
    Reopened now = reopenReviewed(platform_, clock, review->item, review->snapshot, &review->bundle,
                                  "The reviewed installer was changed or replaced. No image was released.");
    if (imageProbes.inspect(path) != review->attachments) {
      refuse("The attached-image list changed after review. Check Installer Storage again; no new image was approved.");
    }
    imageProbes.requireNotInUse(path, review->attachments);
    for (const PreparedInstallerAttachment& attachment : review->attachments) {
      requireUnchanged(platform_, clock, now.handle, review->snapshot,
                       "Installer files or image identities changed during release. No further image was detached.");
      imageProbes.detach(path, attachment);
      ++response.detachedImageCount;
    }
    const PreparationTreeSnapshot after = snapshotInstallerTree(platform_, now.handle, clock);
    applyInstallerTreeRules(after, path);
    verifyHandle(now.handle);
    if (!imageProbes.inspect(path).empty()) {
      refuse("The post-release image inventory did not match the expected result. No file deletion was attempted; "
             "check storage again.");
    }
    if (!sameInstallerTree(snapshotInstallerTree(platform_, now.handle, clock), review->snapshot)) {
      refuse("Image release or the local installer's unchanged state could not be verified. No installer was "
             "deleted.");
    }
    response.released = true;
    response.message = kReleased;
  } catch (const std::exception& error) {
    response.released = false;
    response.message = std::string("Installer image release did not complete. ") + error.what() +
                       " No installer files were deleted. No forced detach was attempted. Close installer or image "
                       "windows, allow active operations to finish, then Check Installer Storage.";
  }
  return response;
}

PreparedInstallerDeleteResponse PreparedInstallerEngine::deleteInstaller(const PreparedInstallerDeleteRequest& request) {
  std::lock_guard lock(stateLock);
  PreparedInstallerDeleteResponse response;
  std::optional<Approval> review;
  std::optional<PreparedInstallerHandle> handle;
  std::optional<storage::ApprovedTreeRemoval> removal;
  std::optional<std::string> record;
  try {
    if (!request.permanentDeletionAcknowledged || !request.noInstallationInProgressAcknowledged) {
      refuse("Explicit permanent-deletion and no-installation acknowledgments are required. Nothing was removed.");
    }
    const auto found = approvals.find(request.candidateID);
    if (found != approvals.end()) {
      review = std::move(found->second);
      approvals.erase(found);
    }
    if (!review || review->item.expiresAt.secondsSinceReferenceDate <= clock()) {
      refuse("This installer review expired or was already used. Check Installer Storage again; no deletion was "
             "started.");
    }
    response.path = review->item.path;
    const std::string path = review->item.path;
    const bool remains = review->interruptedRecord.has_value();
    if (remains) {
      // What is left of an interrupted deletion: the same directory, exactly as reviewed.
      handle.emplace(openHandle(platform_, path));
      if (handle->identity != review->bundle) {
        refuse("What is left of the installer changed or was replaced. Nothing was removed; review it again.");
      }
      requireUnchanged(platform_, clock, *handle, review->snapshot,
                       "What is left of the installer changed or was replaced. Nothing was removed; review it again.",
                       /*remains=*/true);
    } else {
      Reopened now = reopenReviewed(platform_, clock, review->item, review->snapshot, &review->bundle,
                                    "The reviewed installer was changed or replaced. Nothing was removed; review it "
                                    "again.");
      handle.emplace(std::move(now.handle));
      probes.validateSignature(path);
    }
    probes.requireIdle(path);
    requireUnchanged(platform_, clock, *handle, review->snapshot,
                     "The installer changed during final deletion checks. Nothing was removed.", remains);
    const std::uint32_t bundleFlags = requireRemovableBundle(platform_, *handle);
    response.freeSpaceBefore = probes.freeSpace(applicationsRoot);
    response.allocatedBytesBefore = review->snapshot.allocatedBytes;

    const auto bundle = platform::fileFacts(handle->bundleFD.get());
    if (!bundle) refuse("The installer changed during final deletion checks. Nothing was removed.");
    // Crash recovery: the intent is on disk before the first entry goes, so a helper
    // killed part-way leaves remains that a later scan recognises and offers again.
    record = remains ? *review->interruptedRecord
                     : writeDeletionRecord(platform_, deletionRecord(path, static_cast<std::uint64_t>(bundle->device),
                                                                     static_cast<std::uint64_t>(bundle->inode),
                                                                     review->snapshot));
    removal.emplace(review->snapshot, path, storage::ApprovedTreeRemoval::Vocabulary{"installer", "Deletion stopped."},
                    platform_.fileFlags);
    removal->clearBlockingFlags(handle->parentFD.get(), handle->name, bundleFlags, /*directory=*/true, bundle->owner,
                                path);
    removal->removeContents(handle->bundleFD.get(), "", static_cast<std::uint64_t>(bundle->device), 0);
    verifyEmptiedHandle(*handle);
    if (!platform_.fileFlags.removeDirectoryAt(handle->parentFD.get(), handle->name)) {
      refuse("Could not remove the empty local installer application: " + platform::errnoText(errno));
    }
    if (!absent(handle->name, handle->parentFD.get())) {
      refuse("A file is present at the installer path after deletion; absence could not be verified.");
    }
    response.freeSpaceAfter = probes.freeSpace(applicationsRoot);
    response.deleted = true;
    response.mutationStarted = true;
    response.allocatedBytesRemaining = 0;
    response.message = kDeleted;
    // Absence verified: a record that cannot be removed now is dropped by the next scan.
    if (!dropDeletionRecord(platform_, *record)) response.message += " " + recordNotRemoved(*record);
  } catch (const std::exception& error) {
    const bool started = removal && removal->removedEntries() > 0;
    response.deleted = false;
    response.mutationStarted = started;
    // A fresh record whose deletion removed nothing: the bundle is whole and reviewed as usual.
    std::string recordLeft;
    if (!started && record && !review->interruptedRecord && !dropDeletionRecord(platform_, *record)) {
      recordLeft = " " + recordNotRemoved(*record);
    }
    if (!started) {
      response.message = std::string("No deletion was started. ") + error.what() + recordLeft;
      return response;
    }
    response.message = std::string("Deletion did not complete. The local installer may be incomplete. No automatic "
                                   "retry or broader deletion was attempted. ") + error.what();
    response.freeSpaceAfter = probes.freeSpace(applicationsRoot);
    try {
      const PreparedInstallerHandle left = openHandle(platform_, review->item.path);
      response.allocatedBytesRemaining =
          storage::snapshotPreparationTree(left.bundleFD.get(), platform_.fileFlags).allocatedBytes;
    } catch (const std::exception&) {
      if (handle && absent(handle->name, handle->parentFD.get())) response.allocatedBytesRemaining = 0;
    }
  }
  return response;
}

}  // namespace tidewarden::installers
