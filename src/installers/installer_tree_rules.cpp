// The tree snapshot of an installer bundle and the rules every entry of it must keep.
#include "installers/installer_tree_rules.h"

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <utility>

#include "platform/file_flags.h"
#include "platform/file_io.h"
#include "storage/approved_tree_removal.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::installers {

using storage::InstallerSafetyError;

namespace {

[[noreturn]] void refuseFlags(const std::string& path, const std::string& reason) {
  throw InstallerSafetyError::refused("The installer entry " + path + " " + reason +
                                      "; permanent deletion was not approved.");
}

}  // namespace

storage::PreparationTreeSnapshot snapshotInstallerTree(const platform::Platform& platform,
                                                       const PreparedInstallerHandle& handle,
                                                       const std::function<double()>& clock) {
  const storage::TreeWalkDeadline deadline{clock, clock() + kInstallerSnapshotTimeLimitSeconds};
  storage::PreparationTreeSnapshot snapshot =
      storage::snapshotPreparationTree(handle.bundleFD.get(), platform.fileFlags, &deadline);
  if (!snapshot.complete || snapshot.entries.size() > kInstallerEntryLimit) {
    throw InstallerSafetyError::refused(storage::kPreparationSafetyLimitExceeded);
  }
  return snapshot;
}

void applyInstallerTreeRules(const storage::PreparationTreeSnapshot& snapshot, const std::string& bundlePath) {
  if (snapshot.entries.empty()) throw InstallerSafetyError::refused("Installer allocation could not be measured.");
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> namesPerFile;
  for (const storage::PreparationTreeEntry& entry : snapshot.entries) {
    // First, so that a flagged entry of someone else is named with its flags.
    if (const auto reason =
            storage::unclearableFlagsReason(entry.flags, (entry.mode & S_IFMT) == S_IFDIR, entry.identity.owner)) {
      refuseFlags(bundlePath + "/" + entry.relativePath, *reason);
    }
    if (entry.identity.owner != 0) {
      throw InstallerSafetyError::refused(
          "The installer contains non-administrator-owned objects. This permanent-delete action does not change "
          "ownership or broaden its scope.");
    }
    if ((entry.mode & 0022) != 0 && (entry.mode & S_IFMT) != S_IFLNK) {
      throw InstallerSafetyError::refused(
          "The installer contains writable-by-others objects; permanent deletion was not approved.");
    }
    if ((entry.mode & S_IFMT) == S_IFREG) ++namesPerFile[{entry.identity.device, entry.identity.inode}];
  }
  for (const storage::PreparationTreeEntry& entry : snapshot.entries) {
    if ((entry.mode & S_IFMT) == S_IFREG &&
        entry.identity.links != namesPerFile[{entry.identity.device, entry.identity.inode}]) {
      throw InstallerSafetyError::refused(
          "An installer file has hard links outside the reviewed application, or the inventory is incomplete. "
          "Permanent deletion was not approved.");
    }
  }
}

std::uint32_t requireRemovableBundle(const platform::Platform& platform, const PreparedInstallerHandle& handle) {
  const auto bundle = platform.fileFlags.entryAt(handle.parentFD.get(), handle.name);
  const auto parent = platform.fileFlags.entryAt(handle.parentFD.get(), "");
  if (!bundle || !parent) {
    throw InstallerSafetyError::refused("Cannot inspect the file flags of " + handle.path + ": " +
                                        platform::errnoText(errno));
  }
  if (const auto reason = storage::unclearableFlagsReason(bundle->flags, /*directory=*/true, bundle->facts.owner)) {
    refuseFlags(handle.path, *reason);
  }
  // Only the flags known to forbid removing entries: the folder of a Mac's applications
  // carries flags of its own (a firmlink) that forbid nothing of the kind.
  const std::uint32_t pinning = parent->flags & platform::kFlagsPinningContents;
  if (pinning != 0) {
    const std::string folder = handle.path.substr(0, handle.path.rfind('/'));
    throw InstallerSafetyError::refused(folder + " carries the file flags " + platform::fileFlagNames(pinning) +
                                        ", which forbid removing anything from it; permanent deletion was not "
                                        "approved.");
  }
  return bundle->flags;
}

bool sameInstallerTree(const storage::PreparationTreeSnapshot& a, const storage::PreparationTreeSnapshot& b) {
  return a.entries == b.entries && a.allocatedBytes == b.allocatedBytes && a.logicalBytes == b.logicalBytes &&
         a.modifiedAt == b.modifiedAt && a.complete == b.complete;
}

}  // namespace tidewarden::installers
