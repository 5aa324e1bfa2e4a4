// The tree snapshot of an installer bundle and the rules every entry of it must keep.
#include "installers/installer_tree_rules.h"

#include <sys/stat.h>

#include <map>
#include <utility>

#include "storage/installer_safety_error.h"

namespace tidewarden::installers {

using storage::InstallerSafetyError;

storage::PreparationTreeSnapshot snapshotInstallerTree(const PreparedInstallerHandle& handle) {
  storage::PreparationTreeSnapshot snapshot = storage::snapshotPreparationTree(handle.bundleFD.get());
  if (!snapshot.complete || snapshot.entries.size() > kInstallerEntryLimit) {
    throw InstallerSafetyError::refused(storage::kPreparationSafetyLimitExceeded);
  }
  return snapshot;
}

void applyInstallerTreeRules(const storage::PreparationTreeSnapshot& snapshot) {
  if (snapshot.entries.empty()) throw InstallerSafetyError::refused("Installer allocation could not be measured.");
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> namesPerFile;
  for (const storage::PreparationTreeEntry& entry : snapshot.entries) {
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

bool sameInstallerTree(const storage::PreparationTreeSnapshot& a, const storage::PreparationTreeSnapshot& b) {
  return a.entries == b.entries && a.allocatedBytes == b.allocatedBytes && a.logicalBytes == b.logicalBytes &&
         a.modifiedAt == b.modifiedAt && a.complete == b.complete;
}

}  // namespace tidewarden::installers
