// The quarantine folders and their manifests: where they live, who may have written them, durable writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {

// Where every quarantine folder lives, one per quarantine ID.
inline constexpr std::string_view kQuarantineRoot = "/Library/Application Support/Tidewarden/Quarantine";
inline constexpr std::string_view kManifestName = "manifest.json";
// Every manifest is written here first, then moved into place; one left behind is a
// write a crash cut short.
inline constexpr std::string_view kManifestPendingName = ".manifest.json.pending";
// The largest manifest read.
inline constexpr std::size_t kMaxManifestBytes = 1 << 20;

// "ROOT/ID", the logical path of a quarantine folder.
std::string quarantineFolderPath(std::string_view id);

// A quarantine folder (or the root above them) must be a directory of the owner of "/"
// that nobody else may write to: otherwise its manifest and files could have been put
// there by someone else. Reported, never repaired.
bool isPrivateFolder(const platform::UniqueFd& root, int fd);

// fsync of a directory after entries in it were made, moved or removed; throws
// "Cannot save the changes in PATH: ERROR" when the system does not confirm them.
void syncFolder(int fd, const std::string& path);

// The manifest of the quarantine folder `folderFd` (logical path `folderPath`), checked:
// its `id` must be `id`, and every record must move a file of this folder (not the
// manifest) back to an absolute standardized place; otherwise invalidQuarantineID.
// Nothing when the folder holds no manifest. Read and decode errors are thrown.
std::optional<QuarantineManifest> readManifest(int folderFd, const std::string& folderPath, const std::string& id);

// The checks of readManifest on a manifest's text, for the folder at `folderPath`.
QuarantineManifest decodeManifest(std::string_view text, const std::string& folderPath, const std::string& id);

// Writes the manifest durably: the first one never over an existing file, later ones
// replacing it whole; the folder is synced after. Throws "Cannot write the quarantine
// record PATH: ERROR".
void writeManifest(int folderFd, const std::string& folderPath, const QuarantineManifest& manifest, bool first);

}  // namespace tidewarden::quarantine
