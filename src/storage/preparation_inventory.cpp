// The leftover preparation workspaces a download scan reports, and their removal on the user's request.
#include "storage/preparation_inventory.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>

#include "platform/clock.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/uuid.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_activity.h"
#include "storage/preparation_cleanup.h"
#include "storage/preparation_storage_gate.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

constexpr const char* kPartialWorkspaces =
    "Only the first 16 preparation workspaces were checked; these results are partial.";
constexpr const char* kInventoryTimeLimit = "Preparation inspection reached its time limit; these results are partial.";
constexpr const char* kNotFullyMeasured =
    " Allocation could not be fully measured; this workspace is not reported as empty.";
constexpr const char* kImageAttached =
    "An image is still attached to this workspace. It cannot be removed while mounted. Quit Tidewarden and restart "
    "the Mac, then Check Downloads again; do not start another preparation.";

void warnOnce(PreparationInventory& inventory, const std::string& warning) {
  if (std::find(inventory.warnings.begin(), inventory.warnings.end(), warning) == inventory.warnings.end()) {
    inventory.warnings.push_back(warning);
  }
}

bool isWorkspaceName(const std::string& name) {
  const auto canonical = platform::parseUuidString(name);
  return canonical && *canonical == name;
}

// One workspace: its item, and its approval when it is idle and fully measured.
void inventoryWorkspace(const platform::Platform& platform, int rootFd, const std::string& id,
                        PreparationInventory& inventory) {
  InterruptedInstallerDownload item;
  item.id = platform::makeUuidString();
  item.path = std::string(kPreparationRoot) + "/" + id;
  item.source = InstallerDownloadSource::tidewardenPreparation;
  item.measurementComplete = false;
  if (const auto facts = platform::fileFactsAt(rootFd, id)) {
    item.modifiedAt = platform::json::Date::fromUnixSeconds(static_cast<double>(facts->modifiedSeconds));
  }

  PreparationTreeSnapshot first;
  PreparationTreeSnapshot second;
  PreparationActivity activity;
  try {
    platform::UniqueFd workspace = openWorkspaceAt(rootFd, id);
    validateWorkspaceContents(platform, workspace.get(), id, /*requireManifest=*/true);
    first = snapshotPreparationTree(workspace.get(), platform.fileFlags);
    activity = examinePreparationActivity(platform, item.path);
    second = snapshotPreparationTree(workspace.get(), platform.fileFlags);
  } catch (const std::exception& error) {
    item.activity = InstallerDownloadActivity::unverified;
    item.explanation = error.what();
    inventory.items.push_back(std::move(item));
    return;
  }

  const bool measured = first.complete && second.complete;
  item.allocatedBytes = first.allocatedBytes;
  item.logicalBytes = first.logicalBytes;
  item.modifiedAt = platform::json::Date::fromUnixSeconds(static_cast<double>(first.modifiedAt));
  item.measurementComplete = measured;
  if (!measured) {
    warnOnce(inventory, kPreparationEntryLimitReached);
    inventory.complete = false;
  }

  using State = PreparationActivity::State;
  switch (activity.state) {
    case State::imageAttached:
      item.activity = InstallerDownloadActivity::active;
      item.explanation = kImageAttached;
      break;
    case State::imagesUnverified:
      item.activity = InstallerDownloadActivity::unverified;
      item.explanation = "Mounted-image state is unverified.";
      break;
    case State::busy:
      item.activity = InstallerDownloadActivity::active;
      item.explanation = activity.text;
      break;
    case State::unverified:
      item.activity = InstallerDownloadActivity::unverified;
      item.explanation = "Preparation activity could not be verified.";
      break;
    case State::idle:
      if (first != second) {
        item.activity = InstallerDownloadActivity::unverified;
        item.explanation = "Preparation contents changed during inspection.";
      } else {
        item.activity = InstallerDownloadActivity::inactive;
        item.explanation = kPreparationIdleExplanation;
        if (!measured) item.explanation += kNotFullyMeasured;
      }
      break;
  }
  if (item.activity == InstallerDownloadActivity::inactive && measured) {
    inventory.approvals.push_back(
        PreparationApproval{item, std::make_shared<const PreparationTreeSnapshot>(std::move(first)),
                            platform.clock.now() + kPreparationApprovalSeconds});
  }
  inventory.items.push_back(std::move(item));
}

}  // namespace

PreparationInventory inventoryPreparationWorkspaces(const platform::Platform& platform) {
  PreparationInventory inventory;
  const double deadline = platform.clock.uptime() + kPreparationInventorySeconds;
  platform::UniqueFd root = platform::openBeneath(platform.root, kPreparationRoot, O_RDONLY | O_DIRECTORY);
  if (!root && errno == ENOENT) return inventory;
  std::optional<platform::DirectoryListing> listing;
  if (root) listing = platform::listDirectory(root.get(), kPreparationRootEntriesListed);
  if (!listing) {
    inventory.warnings.push_back("Preparation storage could not be checked: " + platform::errnoText(errno));
    inventory.complete = false;
    return inventory;
  }
  std::sort(listing->names.begin(), listing->names.end());

  std::vector<std::string> workspaces;
  for (const std::string& name : listing->names) {
    if (isWorkspaceName(name)) {
      workspaces.push_back(name);
    } else {
      warnOnce(inventory,
               "An unexpected entry exists in the preparation root: " + name + ". It was not approved for deletion.");
    }
  }
  if (listing->truncated || workspaces.size() > kPreparationWorkspacesInventoried) {
    warnOnce(inventory, kPartialWorkspaces);
    inventory.complete = false;
    if (workspaces.size() > kPreparationWorkspacesInventoried) workspaces.resize(kPreparationWorkspacesInventoried);
  }
  // A helper killed while copying leaves data the kernel has not written yet, whose
  // allocation then grows with nobody writing: written back now, it holds still between
  // the snapshot approved here and the removal's own looks. A flush that fails or runs
  // out of time is no refusal: the removal's looks still catch any change.
  if (!workspaces.empty()) platform::flushFileSystemOf(root.get(), kLeftoverFlushSeconds);
  for (const std::string& id : workspaces) {
    if (platform.clock.uptime() >= deadline) {
      warnOnce(inventory, kInventoryTimeLimit);
      inventory.complete = false;
      break;
    }
    inventoryWorkspace(platform, root.get(), id, inventory);
  }
  return inventory;
}

PreparationRemovalOutcome removeApprovedPreparationWorkspaces(const platform::Platform& platform,
                                                              const std::vector<PreparationApproval>& approvals) {
  PreparationRemovalOutcome outcome;
  if (!approvals.empty()) {
    try {
      PreparationStorageGate gate = PreparationStorageGate::open(platform);
      for (const PreparationApproval& approval : approvals) {
        const std::string& path = approval.item.path;
        if (platform.clock.now() > approval.expiresAt) {
          outcome.issues.push_back(kPreparationApprovalExpired);
          continue;
        }
        const auto id = workspaceIdentifier(path);
        if (!id) {
          outcome.issues.push_back(path + ": Invalid preparation workspace identifier.");
          continue;
        }
        const InstallerPreparationCleanupReport report =
            removePreparationWorkspace(gate, *id, *approval.snapshot, PreparationRemovalRequester::user);
        if (report.verified) {
          outcome.removedIDs.push_back(approval.item.id);
          outcome.removedAllocatedBytes += approval.snapshot->allocatedBytes;
        }
        for (const std::string& issue : report.issues) outcome.issues.push_back(path + ": " + issue);
      }
    } catch (const std::exception& error) {
      // The gate could not be taken: nothing was removed.
      outcome.issues.emplace_back(error.what());
    }
  }
  PreparationInventory remaining = inventoryPreparationWorkspaces(platform);
  outcome.remainingItems = std::move(remaining.items);
  outcome.remainingApprovals = std::move(remaining.approvals);
  return outcome;
}

}  // namespace tidewarden::storage
