// Removal of one preparation workspace, exactly as it was inspected, and the report of what that achieved.
#include "storage/preparation_cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <map>
#include <utility>
#include <unordered_map>

#include "platform/byte_count_text.h"
#include "platform/clock.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "storage/approved_tree_removal.h"
#include "storage/data_volume_free_space.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_activity.h"
#include "storage/preparation_inventory.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

[[noreturn]] void refuseWithErrno(const std::string& prefix, int err) {
  refuse(prefix + ": " + platform::errnoText(err));
}

// The user-requested checks before anything goes: the tree is what was approved and
// nothing uses it, now and again after the wait.
void recheckBeforeUserRemoval(PreparationStorageGate& gate, std::string_view id, const std::string& path,
                              const PreparationTreeSnapshot& approved) {
  const platform::Platform& platform = gate.platform();
  auto look = [&](const char* changedMessage) {
    platform::UniqueFd workspace = gate.openWorkspace(id);
    validateWorkspaceContents(platform, workspace.get(), id, /*requireManifest=*/true);
    const PreparationTreeSnapshot now = snapshotPreparationTree(workspace.get(), platform.fileFlags);
    if (!now.complete) refuse(kPreparationSafetyLimitExceeded);
    if (now != approved) refuse(changedMessage);
    const PreparationActivity activity = examinePreparationActivity(platform, path);
    if (!activity.idle()) refuse(activity.text);
  };
  {
    // Unwritten data of a killed copy would move the allocation during the wait below.
    const platform::UniqueFd workspace = gate.openWorkspace(id);
    platform::flushFileSystemOf(workspace.get(), kLeftoverFlushSeconds);
  }
  look("Preparation contents changed after approval; nothing was removed.");
  platform.clock.sleepFor(kPreparationActivityRecheckSeconds);
  look("Preparation contents changed after selection. Nothing was removed.");
}

// Removes the preparation root once it is empty, so no empty private folder lingers.
void removeEmptyPreparationRoot(PreparationStorageGate& gate) {
  const platform::Platform& platform = gate.platform();
  const auto left = platform::listDirectory(gate.rootFD().get(), 1);
  if (!left || !left->names.empty()) return;
  platform::UniqueFd base = openDirectoryNoFollow(platform.root, kHelperStorageBase);
  const std::string rootName(kPreparationRootName);
  const auto pinned = platform::fileFacts(gate.rootFD().get());
  const auto named = platform::fileFactsAt(base.get(), rootName);
  if (!pinned || !named || fileIdentity(*pinned) != fileIdentity(*named)) {
    refuse("Preparation root changed before final removal.");
  }
  if (!platform.fileFlags.removeDirectoryAt(base.get(), rootName)) {
    refuseWithErrno("Cannot remove empty preparation root", errno);
  }
  if (platform::fileFactsAt(base.get(), rootName) || errno != ENOENT) {
    refuse("Preparation root removal could not be verified.");
  }
}

}  // namespace

InstallerPreparationCleanupReport removePreparationWorkspace(PreparationStorageGate& gate, std::string_view id,
                                                             const PreparationTreeSnapshot& approved,
                                                             PreparationRemovalRequester requester) {
  const platform::Platform& platform = gate.platform();
  const std::string path = std::string(kPreparationRoot) + "/" + std::string(id);
  InstallerPreparationCleanupReport report;
  report.allocatedBytesBefore = approved.allocatedBytes;
  ApprovedTreeRemoval removal(approved, path, ApprovedTreeRemoval::preparationVocabulary(), platform.fileFlags);
  bool workspaceGone = false;
  try {
    if (!approved.complete) refuse(kPreparationSafetyLimitExceeded);
    if (requester == PreparationRemovalRequester::user) recheckBeforeUserRemoval(gate, id, path, approved);
    report.availableBytesBefore = dataVolumeFreeBytes(platform);

    platform::UniqueFd workspace = gate.openWorkspace(id);
    const auto workspaceFacts = platform::fileFacts(workspace.get());
    if (!workspaceFacts) refuseWithErrno("Cannot recheck preparation entry " + path, errno);
    removal.removeContents(workspace.get(), "", static_cast<std::uint64_t>(workspaceFacts->device), 0);
    workspace.reset();

    const std::string name(id);
    if (!platform.fileFlags.removeDirectoryAt(gate.rootFD().get(), name)) {
      if (errno == ENOTEMPTY || errno == EEXIST) refuse("Preparation directory is not empty after removal.");
      refuseWithErrno("Cannot remove preparation directory " + path, errno);
    }
    if (platform::fileFactsAt(gate.rootFD().get(), name) || errno != ENOENT) {
      refuse("A preparation entry is present again at " + path + ". Removal could not be verified.");
    }
    workspaceGone = true;
    removeEmptyPreparationRoot(gate);
  } catch (const std::exception& error) {
    report.issues.emplace_back(error.what());
  }
  const std::int64_t removedBytes = removal.removedBytes();
  report.verified = workspaceGone;
  if (workspaceGone || removedBytes > 0) report.availableBytesAfter = dataVolumeFreeBytes(platform);
  if (!workspaceGone) {
    report.workspacePath = path;
    report.remainingAllocatedBytes = std::max<std::int64_t>(approved.allocatedBytes - removedBytes, 0);
  }
  return report;
}

std::string cleanupSummary(const InstallerPreparationCleanupReport& report) {
  using platform::fileByteCountText;
  std::string text;
  if (report.verified) {
    text = "Preparation workspace removal verified.";
    if (report.allocatedBytesBefore) {
      text += " Temporary allocation before removal: " + fileByteCountText(*report.allocatedBytesBefore) + ".";
    }
    if (report.availableBytesBefore && report.availableBytesAfter) {
      text += " Available space: " + fileByteCountText(*report.availableBytesBefore) + " \u2192 " +
              fileByteCountText(*report.availableBytesAfter) + ".";
    }
    return text;
  }
  text = "Preparation storage could not be completely removed.";
  if (report.workspacePath) text += " Kept at " + *report.workspacePath + ".";
  if (report.remainingAllocatedBytes) {
    text += " Remaining allocation: " + fileByteCountText(*report.remainingAllocatedBytes) + ".";
  }
  for (const std::string& issue : report.issues) text += " " + issue;
  text += " Check Downloads & Preparation Files before another attempt.";
  return text;
}

}  // namespace tidewarden::storage
