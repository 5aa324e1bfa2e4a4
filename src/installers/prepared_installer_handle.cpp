// An open local installer bundle, pinned by descriptor and identity for one operation.
#include "installers/prepared_installer_handle.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_io.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::installers {

using storage::InstallerSafetyError;

PreparedInstallerHandle openHandle(const platform::Platform& platform, std::string_view path) {
  const std::string text(path);
  const std::size_t slash = text.rfind('/');
  PreparedInstallerHandle handle;
  handle.path = text;
  handle.name = text.substr(slash + 1);
  handle.parentFD = storage::openDirectoryNoFollow(platform.root, slash == 0 ? "/" : text.substr(0, slash));
  handle.bundleFD = platform::openAt(handle.parentFD.get(), handle.name, O_RDONLY | O_DIRECTORY);
  if (!handle.bundleFD) {
    // A link or a file that is not a directory stands where the bundle should.
    if (errno == ELOOP || errno == ENOTDIR) throw InstallerSafetyError::refused(kInstallerOwnershipMessage);
    throw InstallerSafetyError::refused("Cannot safely open local installer: " + platform::errnoText(errno));
  }
  const auto parent = platform::fileFacts(handle.parentFD.get());
  const auto bundle = platform::fileFacts(handle.bundleFD.get());
  if (!parent || !bundle) {
    throw InstallerSafetyError::refused("Cannot safely open local installer: " + platform::errnoText(errno));
  }
  if (!bundle->directory || bundle->device != parent->device || bundle->owner != 0 ||
      (bundle->permissions & 0022) != 0) {
    throw InstallerSafetyError::refused(kInstallerOwnershipMessage);
  }
  handle.identity = storage::fileIdentity(*bundle);
  return handle;
}

void verifyHandle(const PreparedInstallerHandle& handle) {
  const auto named = platform::fileFactsAt(handle.parentFD.get(), handle.name);
  if (!named || !named->directory || storage::fileIdentity(*named) != handle.identity) {
    throw InstallerSafetyError::refused(kInstallerRedirectedMessage);
  }
}

void verifyEmptiedHandle(const PreparedInstallerHandle& handle) {
  const auto named = platform::fileFactsAt(handle.parentFD.get(), handle.name);
  if (!named || !named->directory || static_cast<std::uint64_t>(named->device) != handle.identity.device ||
      static_cast<std::uint64_t>(named->inode) != handle.identity.inode) {
    throw InstallerSafetyError::refused(kInstallerRedirectedMessage);
  }
}

}  // namespace tidewarden::installers
