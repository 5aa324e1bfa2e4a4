// Which installer-download paths may ever be removed, and the re-validation that pins one before it is.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "storage/installer_file_identity.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

// The two file names a download can have; a complete package only in the own folder.
inline constexpr std::string_view kCompletePackageName = "InstallAssistant.pkg";
inline constexpr std::string_view kPartialPackageName = "InstallAssistant.pkg.partial";
// Held by the application's downloader while it writes into that folder.
inline constexpr std::string_view kDownloadLockName = ".tidewarden-download.lock";
// The account Apple's software update downloads as, besides root.
inline constexpr std::string_view kSoftwareUpdateAccount = "_softwareupdate";
inline constexpr std::size_t kMaxSafeNameBytes = 180;

// A folder name the helper is willing to walk into and report: 1 to 180 bytes of
// letters, digits, '-', '_' and '.', and not "." or "..". Anything else (a space, a
// control character, a long name) is skipped rather than escaped.
bool isSafeDownloadName(std::string_view name);

// The source of a canonical download path, or nothing when it is not one of the two
// shapes that may hold a removable download:
//   /Users/Shared/Tidewarden/Downloads/<safe>/InstallAssistant.pkg[.partial]
//   /private/var/folders/<2 safe chars>/<safe>/C/com.apple.SoftwareUpdate/…/InstallAssistant.pkg.partial
// (8 to 25 components; a complete package inside an Apple cache never qualifies).
// The path is canonicalized first; a malformed one is not approved.
std::optional<InstallerDownloadSource> classifyDownloadPath(std::string_view path);

// The identity of the download `name` in the open directory, not following a link.
// Throws InstallerSafetyError: "Not an approved installer filename." for any other
// name, "Could not inspect installer download: <reason>", or "Installer download is
// not a regular file (symbolic links are not allowed).".
InstallerFileIdentity inspectDownloadFile(int directoryFd, std::string_view name);

// Takes the download lock of the folder `directoryFd` without waiting. Without
// `create`, a folder without a lock file has no lock: an invalid descriptor is
// returned. Otherwise the returned descriptor holds the exclusive lock until closed,
// so the downloader cannot start writing meanwhile. Throws InstallerSafetyError when
// the lock cannot be opened, is not a single-link regular file ("The download lock is
// redirected or invalid.") or is held by someone else ("Tidewarden is still
// downloading or preparing this installer.").
platform::UniqueFd checkDownloadLock(int directoryFd, bool create);

// A download pinned for removal: its folder's descriptor (every folder from the base
// down was checked for ownership and permissions), the identity it must still have,
// and for own downloads the held download lock (invalid when the folder has none).
struct InstallerRemovalTarget {
  std::string path;
  InstallerDownloadSource source = InstallerDownloadSource::tidewarden;
  InstallerFileIdentity identity;
  platform::UniqueFd directory;
  platform::UniqueFd lock;
  std::string name() const { return path.substr(path.rfind('/') + 1); }
};

// Re-derives everything removal relies on from `path` and the identity a scan saw:
// the path's shape, a single link, an Apple download's owner (root or
// _softwareupdate), every folder from the base ("/Users/Shared/Tidewarden" or the
// com.apple.SoftwareUpdate folder) to the file's own folder opened without following
// a link, owned by root (or _softwareupdate, or the file's owner for own downloads)
// and not writable by group or others; then the file again, unchanged; then the own
// download's lock. Throws InstallerSafetyError with the reason; nothing is changed.
InstallerRemovalTarget validateRemovalTarget(const platform::Platform& platform, std::string_view path,
                                             const InstallerFileIdentity& scannedIdentity);

}  // namespace tidewarden::storage
