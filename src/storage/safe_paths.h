// Path grammar, canonical spelling, approved roots, and walks that never follow a link or leave a file system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tidewarden::storage {

// The approved roots, in canonical spelling.
// The application's own installer downloads.
inline constexpr std::string_view kDownloadsRoot = "/Users/Shared/Tidewarden/Downloads";
// Where Apple software-update caches are searched.
inline constexpr std::string_view kSoftwareUpdateCachesBase = "/private/var/folders";
// The parent of every preparation workspace.
inline constexpr std::string_view kPreparationRoot = "/private/var/tmp/com.ambergrove.Tidewarden/InstallAssistant";

// Size limits of the metadata files read with readBoundedMetadata.
inline constexpr std::size_t kPreparationManifestLimitBytes = 16384;
inline constexpr std::size_t kInstallerInfoPlistLimitBytes = 2097152;
inline constexpr std::size_t kPayloadMetadataLimitBytes = 4194304;

// Longest accepted path and component, in UTF-8 bytes.
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::size_t kMaxComponentBytes = 255;

// The components of `path`, or nothing when it breaks the grammar: it must start with
// "/", be at most kMaxPathBytes, hold no NUL, line feed, carriage return or "//", not
// end with "/" (so "/" itself is refused), have no "." or ".." component, and every
// component must be at most kMaxComponentBytes.
std::optional<std::vector<std::string>> pathComponents(std::string_view path);

// The one spelling used for comparisons and approvals: "/System/Volumes/Data/..." loses
// that prefix, "/var/..." becomes "/private/var/...", one trailing "/" is dropped, and
// the result must pass the grammar. Throws InstallerSafetyError "Malformed preparation
// path: <path as given>".
std::string canonicalPath(std::string_view path);

// The components of `path` below `root`, both canonicalized; `root` must be a proper
// prefix component by component (never merely by string, and never the path itself).
// Throws InstallerSafetyError "Preparation path is outside its exact approved root. ..."
// (or the malformed message of canonicalPath).
std::vector<std::string> approvedRelativeComponents(std::string_view path, std::string_view root);

// Opens the directory `path` (which must pass the grammar; it is not canonicalized)
// from `root`, the platform's descriptor for "/", one component at a time without
// following a symbolic link anywhere. The caller owns the descriptor. Throws
// InstallerSafetyError "Invalid directory path." or "Could not safely open <path>: ...".
platform::UniqueFd openDirectoryNoFollow(const platform::UniqueFd& root, std::string_view path);

// Opens the regular file `path` inside `approvedRoot` for reading: the root is opened
// with openDirectoryNoFollow, every directory below it must be on the root's file
// system (a mount point inside the root is refused) and no component may be a
// symbolic link. The walk holds each directory open while it opens the next, so a
// rename or swap of an ancestor after it was opened cannot redirect it. The caller
// owns the descriptor; on failure every descriptor opened here is closed and
// InstallerSafetyError carries the reason.
platform::UniqueFd openFileBeneathApprovedRoot(const platform::UniqueFd& root, std::string_view path,
                                               std::string_view approvedRoot);

// The whole content of a small metadata file opened with openFileBeneathApprovedRoot:
// refused when empty or larger than `limitBytes` before reading, when it grows past
// the limit while read, or when its identity after reading differs from the one
// before (it changed while it was read).
std::string readBoundedMetadata(const platform::UniqueFd& root, std::string_view path, std::string_view approvedRoot,
                                std::size_t limitBytes);

// The workspace UUID that `path` names when it is exactly one component below the
// preparation root and that component is an upper-case UUID (the only spelling the
// helper creates; a lower-case twin is not the same workspace). Nothing otherwise.
std::optional<std::string> workspaceIdentifier(std::string_view path);

}  // namespace tidewarden::storage
