// The system-wide preparation lock, the private preparation root, its workspaces and their manifests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

// Where preparation storage lives. The base and the lock file are shared by every
// preparation operation on the system; the root holds one workspace per operation.
inline constexpr std::string_view kHelperStorageParent = "/private/var/tmp";
inline constexpr std::string_view kHelperStorageBaseName = "com.ambergrove.Tidewarden";
inline constexpr std::string_view kHelperStorageBase = "/private/var/tmp/com.ambergrove.Tidewarden";
inline constexpr std::string_view kPreparationLockName = ".preparation-operation.lock";
inline constexpr std::string_view kPreparationRootName = "InstallAssistant";
inline constexpr std::string_view kPreparationManifestName = "operation.json";

// The only entries a workspace may hold at its top level, and how many are examined.
inline constexpr std::string_view kWorkspaceAllowedEntries[] = {"operation.json", "InstallAssistant.pkg", "Expanded",
                                                                "PayloadMetadata"};
inline constexpr std::size_t kWorkspaceEntriesExamined = 16;
// Entries of the preparation root listed when looking for earlier workspaces.
inline constexpr std::size_t kPreparationRootEntriesListed = 128;

inline constexpr const char* kPreparationOperationBusy =
    "An installer preparation, safety check or preparation cleanup is still running. No second operation was "
    "started.";
inline constexpr const char* kUnexpectedWorkspaceEntries =
    "This UUID folder contains unexpected top-level files and requires manual review.";
inline constexpr const char* kManifestDoesNotMatch = "Preparation manifest does not match its workspace.";

// Creates `name` in `parentFd` as a directory of mode 0700 unless it exists, opens it
// without following a link and requires root ownership and no group or other write
// permission; `strict` also requires no group or other read or search permission.
// Permissions found wrong are reported, never repaired. The caller owns the result.
// Throws InstallerSafetyError.
platform::UniqueFd ensurePrivateDirectory(int parentFd, std::string_view name, bool strict);

// Opens the workspace `id` in the preparation root `rootFd`: `id` must be the
// upper-case text of a UUID (the only spelling workspaces are made with), and the
// workspace a directory owned by root with no group/other bits on the root's file
// system, so a mount point or a link in its place is refused. The caller owns the
// descriptor. Throws InstallerSafetyError.
platform::UniqueFd openWorkspaceAt(int rootFd, std::string_view id);

// Holding a gate makes its holder the only preparation, preparation safety check or
// preparation cleanup on the system: the exclusive flock on the operation lock is
// taken without waiting, so a second operation is refused at once, and the kernel
// drops it when the holder dies. Releasing the gate (destroying it) closes both
// descriptors, which releases the lock. The lock file itself is never deleted.
class PreparationWorkspace;

class PreparationStorageGate {
 public:
  // Opens the gate: the effective user must be root; the base is made private (no
  // group/other write), the lock file must be a root-owned regular file with one link
  // and no group/other bits, and the root must be root-owned with no group/other bits
  // at all. No descriptor walk follows a link; nothing found wrong is repaired.
  // Throws InstallerSafetyError.
  static PreparationStorageGate open(const platform::Platform& platform);

  PreparationStorageGate(PreparationStorageGate&&) = default;
  PreparationStorageGate& operator=(PreparationStorageGate&&) = delete;

  const platform::Platform& platform() const { return platform_; }
  const platform::UniqueFd& rootFD() const { return rootFD_; }
  const platform::UniqueFd& lockFD() const { return lockFD_; }

  // Refuses with "Earlier preparation storage remains at ..." when the root holds any
  // entry at all (an empty folder included): leftovers are reviewed and removed by
  // the user before new work starts.
  void requireNoEarlierWorkspace() const;

  // After the earlier-workspace check, makes a new workspace named by a fresh UUID
  // and writes its manifest with phase "created" (createdAt from the platform clock).
  // When the manifest cannot be written the directory stays and blocks later work:
  // an operation that must clean up after itself uses makeWorkspace. Throws
  // InstallerSafetyError.
  PreparationWorkspace createWorkspace(std::string version, std::string build, std::string purpose);

  // The first half of createWorkspace: the check and the directory, with the manifest
  // (phase "created") in memory only. The caller writes it with recordPhase("created")
  // once it holds the workspace, so that a failed write leaves a workspace it can
  // remove. Throws InstallerSafetyError.
  PreparationWorkspace makeWorkspace(std::string version, std::string build, std::string purpose);

  // openWorkspaceAt in this gate's root.
  platform::UniqueFd openWorkspace(std::string_view id) const { return openWorkspaceAt(rootFD_.get(), id); }

 private:
  PreparationStorageGate(const platform::Platform& platform, platform::UniqueFd lockFD, platform::UniqueFd rootFD);

  const platform::Platform& platform_;
  platform::UniqueFd lockFD_;
  platform::UniqueFd rootFD_;
};

// One preparation operation's private folder, named by its id, and its manifest.
class PreparationWorkspace {
 public:
  const std::string& id() const { return id_; }
  PreparationStorageGate& gate() const { return gate_; }
  const PreparationManifest& manifest() const { return manifest_; }
  // The workspace's logical path: the preparation root + "/" + id.
  std::string path() const;

  // Rewrites "operation.json" in place with `phase`: it must be a root-owned regular
  // file with one link and no group/other bits (a link in its place fails the open),
  // truncated, written in full and synced. It is never renamed. Throws
  // InstallerSafetyError.
  void recordPhase(std::string phase);

 private:
  friend class PreparationStorageGate;
  PreparationWorkspace(PreparationStorageGate& gate, PreparationManifest manifest)
      : gate_(gate), id_(manifest.operationID), manifest_(std::move(manifest)) {}

  PreparationStorageGate& gate_;
  std::string id_;
  PreparationManifest manifest_;
};

// The manifest in `bytes` ("operation.json" as read from disk), accepted only when it
// decodes strictly, has schema 1, names `id` as its operationID and a purpose of
// "installer" or "safety-check". Throws InstallerSafetyError kManifestDoesNotMatch.
PreparationManifest decodePreparationManifest(std::string_view bytes, std::string_view id);

// Checks the top level of the workspace `workspaceFd` named `id`: only the allowed
// entries may be present (at most 16 are examined); with `requireManifest` a present
// "operation.json" is read (bounded, change-detecting, beneath the preparation root)
// and must be schema 1, name `id` as its operationID and have purpose "installer" or
// "safety-check". Throws InstallerSafetyError.
void validateWorkspaceContents(const platform::Platform& platform, int workspaceFd, std::string_view id,
                               bool requireManifest);

}  // namespace tidewarden::storage
