// At start-up, quarantines a previous helper left unfinished are rolled back before any request is served.
#include "quarantine/quarantine_restart_recovery.h"

#include <fcntl.h>

#include <cerrno>
#include <exception>

#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/uuid.h"
#include "quarantine/quarantine_manifest.h"
#include "quarantine/quarantine_put_back.h"

namespace tidewarden::quarantine {

void QuarantineRestartRecovery::schedule() {
  std::lock_guard lock(mutex_);
  pending_ = true;
}

void QuarantineRestartRecovery::run() {
  recover();
  std::lock_guard lock(mutex_);
  pending_ = false;
  done_.notify_all();
}

void QuarantineRestartRecovery::awaitRecovery() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return !pending_; });
}

void QuarantineRestartRecovery::recover() {
  const platform::UniqueFd& root = platform_.root;
  const platform::UniqueFd quarantineRoot = platform::openBeneath(root, kQuarantineRoot, O_RDONLY | O_DIRECTORY);
  if (!quarantineRoot || !isPrivateFolder(root, quarantineRoot.get())) return;
  const auto listing = platform::listDirectory(quarantineRoot.get(), kMaxRecoveredFolders);
  if (!listing) return;
  for (const std::string& id : listing->names) {
    // Only the folders a quarantine makes: named by an ID in its canonical spelling.
    if (platform::parseUuidString(id) != id) continue;
    const platform::UniqueFd folder = platform::openAt(quarantineRoot.get(), id, O_RDONLY | O_DIRECTORY);
    if (!folder || !isPrivateFolder(root, folder.get())) continue;
    platform::removeFileAt(folder.get(), std::string(kManifestPendingName));
    try {
      const auto manifest = readManifest(folder.get(), quarantineFolderPath(id), id);
      if (!manifest) {
        // Killed before its manifest was written, so before anything moved: the folder
        // is empty, unless someone else put files there, which stay.
        if (platform::removeDirectoryAt(quarantineRoot.get(), id)) platform::syncFile(quarantineRoot.get());
      } else if (!manifest->finished()) {
        rollBackQuarantine(root, quarantineRoot.get(), folder.get(), *manifest);
      }
    } catch (const std::exception&) {
      // Left as it is: what cannot be read is not known to be unfinished.
    }
  }
}

}  // namespace tidewarden::quarantine
