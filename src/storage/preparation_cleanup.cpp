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
#include "storage/data_volume_free_space.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_activity.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

[[noreturn]] void refuseWithErrno(const std::string& prefix, int err) {
  refuse(prefix + ": " + platform::errnoText(err));
}

// Deletes the approved tree bottom-up. Every decision is made on a fresh look at the
// entry through its pinned parent, compared with what was approved.
class ApprovedTreeRemoval {
 public:
  ApprovedTreeRemoval(const PreparationTreeSnapshot& approved, std::string workspacePath,
                      const PreparationEntryFlags& flags)
      : workspacePath_(std::move(workspacePath)), flags_(flags) {
    approved_.reserve(approved.entries.size());
    for (const PreparationTreeEntry& entry : approved.entries) {
      approved_.emplace(entry.relativePath, &entry);
      if ((entry.mode & S_IFMT) != S_IFDIR) ++names_[{entry.identity.device, entry.identity.inode}].approved;
    }
  }

  void removeContents(int dirFd, const std::string& prefix, std::uint64_t device, int depth) {
    if (depth > kPreparationNestingLimit) refuse("Unexpected preparation nesting during deletion.");
    auto listing = platform::listDirectory(dirFd, kPreparationEntryLimit);
    if (!listing) refuseWithErrno("Cannot recheck preparation entry " + shown(prefix), errno);
    if (listing->truncated) refuse(kPreparationSafetyLimitExceeded);
    std::sort(listing->names.begin(), listing->names.end());
    for (const std::string& name : listing->names) {
      const std::string relative = prefix.empty() ? name : prefix + "/" + name;
      const std::string path = shown(relative);
      const auto facts = platform::fileFactsAt(dirFd, name);
      if (!facts) refuseWithErrno("Cannot recheck preparation entry " + path, errno);
      const auto found = approved_.find(relative);
      if (found == approved_.end()) refuse("A new preparation entry appeared: " + path + ". Cleanup stopped.");
      const PreparationTreeEntry& entry = *found->second;
      const InstallerFileIdentity identity = fileIdentity(*facts);
      const bool sameKind = facts->directory == ((entry.mode & S_IFMT) == S_IFDIR) &&
                            facts->symbolicLink == ((entry.mode & S_IFMT) == S_IFLNK) &&
                            facts->regular == ((entry.mode & S_IFMT) == S_IFREG);
      if (!sameKind || identity.device != device || identity.device != entry.identity.device ||
          identity.inode != entry.identity.inode) {
        refuse("Preparation entry was replaced, redirected or mounted: " + path);
      }
      if (facts->directory) {
        if (identity != entry.identity) refuse("Preparation directory changed before deletion: " + path);
        platform::UniqueFd child = platform::openAt(dirFd, name, O_RDONLY | O_DIRECTORY);
        const auto opened = child ? platform::fileFacts(child.get()) : std::nullopt;
        if (!opened) refuse("Preparation directory changed before deletion: " + path);
        if (static_cast<std::uint64_t>(opened->device) != device) {
          refuse("Preparation directory changed filesystem during deletion.");
        }
        if (fileIdentity(*opened) != entry.identity) refuse("Preparation directory changed before deletion: " + path);
        // An immutable or append-only directory refuses the removal of its entries:
        // its flags go before its contents do.
        clearFlags(dirFd, name, *facts, path);
        removeContents(child.get(), relative, device, depth + 1);
        child.reset();
        if (!platform::removeDirectoryAt(dirFd, name)) {
          if (errno == ENOTEMPTY || errno == EEXIST) refuse("Preparation directory is not empty after removal.");
          refuseWithErrno("Cannot remove preparation directory " + path, errno);
        }
        removedBytes_ += entry.identity.allocatedBytes;
      } else {
        if (identity != entry.identity && !changedOnlyByOurUnlinks(identity, entry.identity)) {
          refuse("Preparation file changed before deletion: " + path);
        }
        clearFlags(dirFd, name, *facts, path);
        if (!platform::removeFileAt(dirFd, name)) refuseWithErrno("Cannot remove preparation entry " + path, errno);
        ++names_[{entry.identity.device, entry.identity.inode}].removed;
        removedBytes_ += entry.identity.allocatedBytes;
      }
    }
  }

  std::int64_t removedBytes() const { return removedBytes_; }

 private:
  std::string shown(const std::string& relative) const {
    return relative.empty() ? workspacePath_ : workspacePath_ + "/" + relative;
  }

  // BSD user flags (immutable, append-only) would make the unlink fail; a root-owned
  // entry of our own workspace may carry them from the extraction and is cleared.
  // Anyone else's flagged entry is left alone.
  void clearFlags(int dirFd, const std::string& name, const platform::FileFacts& facts,
                  const std::string& path) const {
    const auto flags = flags_.read(dirFd, name);
    if (!flags) refuseWithErrno("Cannot recheck preparation entry " + path, errno);
    if (*flags == 0) return;
    if (facts.owner != 0) refuse("Flagged preparation entry is not root-owned: " + path);
    if (!flags_.clear(dirFd, name)) {
      refuseWithErrno("Cannot clear temporary user flags at " + path, errno);
    }
  }

  // A file with several names, all of them in the approved tree, changes its link
  // count and change time when this removal unlinks one of them: expected, not
  // tampering. Every other field must still be as approved, and the links left must
  // be exactly the approved ones less the names this removal took.
  bool changedOnlyByOurUnlinks(const InstallerFileIdentity& now, const InstallerFileIdentity& approved) const {
    const auto found = names_.find({approved.device, approved.inode});
    if (found == names_.end() || found->second.removed == 0) return false;
    const Names& names = found->second;
    InstallerFileIdentity expected = approved;
    expected.links = approved.links - names.removed;
    expected.changedSeconds = now.changedSeconds;
    expected.changedNanoseconds = now.changedNanoseconds;
    return names.approved == approved.links && approved.links > names.removed && now == expected;
  }

  struct Names {
    std::uint64_t approved = 0;  // names of the file in the approved tree
    std::uint64_t removed = 0;   // of those, unlinked by this removal so far
  };

  std::string workspacePath_;
  const PreparationEntryFlags& flags_;
  std::unordered_map<std::string, const PreparationTreeEntry*> approved_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Names> names_;  // by device and inode
  std::int64_t removedBytes_ = 0;
};

// The user-requested checks before anything goes: the tree is what was approved and
// nothing uses it, now and again after the wait.
void recheckBeforeUserRemoval(PreparationStorageGate& gate, std::string_view id, const std::string& path,
                              const PreparationTreeSnapshot& approved) {
  const platform::Platform& platform = gate.platform();
  auto look = [&](const char* changedMessage) {
    platform::UniqueFd workspace = gate.openWorkspace(id);
    validateWorkspaceContents(platform, workspace.get(), id, /*requireManifest=*/true);
    const PreparationTreeSnapshot now = snapshotPreparationTree(workspace.get());
    if (!now.complete) refuse(kPreparationSafetyLimitExceeded);
    if (now != approved) refuse(changedMessage);
    const PreparationActivity activity = examinePreparationActivity(platform, path);
    if (!activity.idle()) refuse(activity.text);
  };
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
  if (!platform::removeDirectoryAt(base.get(), rootName)) refuseWithErrno("Cannot remove empty preparation root", errno);
  if (platform::fileFactsAt(base.get(), rootName) || errno != ENOENT) {
    refuse("Preparation root removal could not be verified.");
  }
}

}  // namespace

InstallerPreparationCleanupReport removePreparationWorkspace(PreparationStorageGate& gate, std::string_view id,
                                                             const PreparationTreeSnapshot& approved,
                                                             PreparationRemovalRequester requester,
                                                             const PreparationEntryFlags& flags) {
  const platform::Platform& platform = gate.platform();
  const std::string path = std::string(kPreparationRoot) + "/" + std::string(id);
  InstallerPreparationCleanupReport report;
  report.allocatedBytesBefore = approved.allocatedBytes;
  ApprovedTreeRemoval removal(approved, path, flags);
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
    if (!platform::removeDirectoryAt(gate.rootFD().get(), name)) {
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
