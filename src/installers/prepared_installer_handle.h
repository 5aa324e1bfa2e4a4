// An open local installer bundle, pinned by descriptor and identity for one operation.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "storage/installer_file_identity.h"

namespace tidewarden::installers {

inline constexpr const char* kInstallerOwnershipMessage =
    "The installer is redirected, mounted separately, or does not have protected administrator "
    "ownership/permissions. Its permissions were not changed.";
inline constexpr const char* kInstallerRedirectedMessage =
    "The selected local installer was moved, replaced or redirected. Deletion stopped.";

// Owned by one operation; the descriptors close when it ends.
struct PreparedInstallerHandle {
  platform::UniqueFd parentFD;  // /Applications
  platform::UniqueFd bundleFD;  // the bundle directory
  std::string name;             // bundle file name
  storage::InstallerFileIdentity identity;
  std::string path;  // "/Applications/" + name
};

// Opens /Applications without following a link and the bundle beneath it with
// O_NOFOLLOW | O_DIRECTORY. The bundle must be a directory on /Applications' device,
// owned by root and writable by neither group nor others; a symbolic link or another
// kind of file in its place is refused with kInstallerOwnershipMessage as well, since
// it is a redirection. Nothing is ever changed to make it pass. Throws InstallerSafetyError.
PreparedInstallerHandle openHandle(const platform::Platform& platform, std::string_view path);

// The name must still be the very directory the handle opened (fstatat without
// following a link, full identity), else kInstallerRedirectedMessage.
void verifyHandle(const PreparedInstallerHandle& handle);

// After the handle's own contents were removed, its times and link count have changed by
// necessity: the name must still be that directory (device and inode), else
// kInstallerRedirectedMessage.
void verifyEmptiedHandle(const PreparedInstallerHandle& handle);

}  // namespace tidewarden::installers
