// The system-wide preparation lock, the private preparation root, its workspaces and their manifests.
#include "storage/preparation_storage_gate.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "platform/clock.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "platform/process_facts.h"
#include "platform/uuid.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY;
constexpr const char* kUnsafeLock = "The preparation-operation lock has unsafe ownership, permissions or links.";

[[noreturn]] void refuseWithErrno(const std::string& prefix, int err) {
  throw InstallerSafetyError::refused(prefix + ": " + platform::errnoText(err));
}

}  // namespace

platform::UniqueFd ensurePrivateDirectory(int parentFd, std::string_view name, bool strict) {
  const std::string entry(name);
  if (!platform::makeDirectoryAt(parentFd, entry, 0700)) {
    refuseWithErrno("Cannot create private preparation directory " + entry, errno);
  }
  platform::UniqueFd directory = platform::openAt(parentFd, entry, kDirectoryFlags);
  if (!directory) refuseWithErrno("Cannot safely open preparation directory " + entry, errno);
  const auto facts = platform::fileFacts(directory.get());
  const mode_t forbidden = strict ? 0077 : 0022;
  if (!facts || !facts->directory || facts->owner != 0 || (facts->permissions & forbidden) != 0) {
    throw InstallerSafetyError::refused("Preparation directory " + entry +
                                        " does not have the required root ownership and safe permissions. Its "
                                        "permissions were not silently changed.");
  }
  return directory;
}

PreparationStorageGate::PreparationStorageGate(const platform::Platform& platform, platform::UniqueFd lockFD,
                                               platform::UniqueFd rootFD)
    : platform_(platform), lockFD_(std::move(lockFD)), rootFD_(std::move(rootFD)) {}

PreparationStorageGate PreparationStorageGate::open(const platform::Platform& platform) {
  if (platform.processFacts.effectiveUserId() != 0) {
    throw InstallerSafetyError::refused("Preparation storage requires the administrator helper.");
  }
  platform::UniqueFd parent = openDirectoryNoFollow(platform.root, kHelperStorageParent);
  platform::UniqueFd base = ensurePrivateDirectory(parent.get(), kHelperStorageBaseName, /*strict=*/false);

  platform::UniqueFd lock =
      platform::openAt(base.get(), std::string(kPreparationLockName), O_RDWR | O_CREAT | O_NONBLOCK, 0600);
  // A link in the lock's place fails the no-follow open with ELOOP: that is an unsafe
  // lock, not an open failure, and it is never followed.
  if (!lock && errno == ELOOP) {
    throw InstallerSafetyError::refused(kUnsafeLock);
  }
  if (!lock) refuseWithErrno("Cannot open the preparation-operation lock", errno);
  const auto facts = platform::fileFacts(lock.get());
  if (!facts || !facts->regular || facts->owner != 0 || facts->links != 1 || (facts->permissions & 0077) != 0) {
    throw InstallerSafetyError::refused(kUnsafeLock);
  }
  if (!platform::tryLockExclusive(lock.get())) throw InstallerSafetyError::refused(kPreparationOperationBusy);

  platform::UniqueFd root = ensurePrivateDirectory(base.get(), kPreparationRootName, /*strict=*/true);
  return PreparationStorageGate(platform, std::move(lock), std::move(root));
}

void PreparationStorageGate::requireNoEarlierWorkspace() const {
  const auto listing = platform::listDirectory(rootFD_.get(), kPreparationRootEntriesListed);
  if (!listing) throw InstallerSafetyError::refused("Could not inspect " + std::string(kPreparationRoot));
  if (listing->names.empty()) return;
  throw InstallerSafetyError::refused("Earlier preparation storage remains at " + std::string(kPreparationRoot) +
                                      "/" + listing->names.front() +
                                      ". No new workspace was created. Open Installer storage \u2192 Check "
                                      "Downloads, review the old workspace and remove it first.");
}

PreparationWorkspace PreparationStorageGate::createWorkspace(std::string version, std::string build,
                                                             std::string purpose) {
  PreparationWorkspace workspace = makeWorkspace(std::move(version), std::move(build), std::move(purpose));
  workspace.recordPhase("created");
  return workspace;
}

PreparationWorkspace PreparationStorageGate::makeWorkspace(std::string version, std::string build,
                                                           std::string purpose) {
  requireNoEarlierWorkspace();
  const std::string id = platform::makeUuidString();
  if (!platform::createDirectoryAt(rootFD_.get(), id, 0700)) {
    refuseWithErrno("Cannot create a preparation workspace", errno);
  }
  PreparationManifest manifest;
  manifest.schema = 1;
  manifest.operationID = id;
  manifest.version = std::move(version);
  manifest.build = std::move(build);
  manifest.purpose = std::move(purpose);
  manifest.createdAt = platform::json::Date{platform_.clock.now()};
  manifest.phase = "created";
  return PreparationWorkspace(*this, std::move(manifest));
}

platform::UniqueFd openWorkspaceAt(int rootFd, std::string_view id) {
  // Workspaces are only ever made with the upper-case text of a fresh UUID; any other
  // spelling is a different folder name, not this workspace.
  const auto canonical = platform::parseUuidString(id);
  if (!canonical || *canonical != id) throw InstallerSafetyError::refused("Invalid preparation workspace identifier.");
  platform::UniqueFd workspace = platform::openAt(rootFd, *canonical, kDirectoryFlags);
  if (!workspace) refuseWithErrno("Cannot open preparation workspace " + *canonical, errno);
  const auto facts = platform::fileFacts(workspace.get());
  const auto rootFacts = platform::fileFacts(rootFd);
  if (!facts || !rootFacts || !facts->directory || facts->owner != 0 || (facts->permissions & 0077) != 0 ||
      facts->device != rootFacts->device) {
    throw InstallerSafetyError::refused("Preparation workspace " + *canonical +
                                        " has unexpected ownership, permissions or a mount boundary.");
  }
  return workspace;
}

std::string PreparationWorkspace::path() const { return std::string(kPreparationRoot) + "/" + id_; }

void PreparationWorkspace::recordPhase(std::string phase) {
  manifest_.phase = std::move(phase);
  platform::UniqueFd workspace = gate_.openWorkspace(id_);
  platform::UniqueFd file = platform::openAt(workspace.get(), std::string(kPreparationManifestName),
                                             O_WRONLY | O_CREAT | O_NONBLOCK, 0600);
  if (!file) refuseWithErrno("Cannot record preparation phase", errno);
  const auto facts = platform::fileFacts(file.get());
  if (!facts || !facts->regular || facts->owner != 0 || facts->links != 1 || (facts->permissions & 0077) != 0) {
    throw InstallerSafetyError::refused("Preparation manifest is not a private regular file.");
  }
  if (!platform::truncateToEmpty(file.get())) refuseWithErrno("Cannot update preparation phase", errno);
  const auto bytes = platform::json::encode(platform::json::encodeValue(manifest_));
  if (!bytes) refuseWithErrno("Cannot write preparation data", EINVAL);
  if (!platform::writeAll(file.get(), *bytes)) refuseWithErrno("Cannot write preparation data", errno);
  if (!platform::syncFile(file.get())) refuseWithErrno("Cannot commit preparation phase", errno);
}

void validateWorkspaceContents(const platform::Platform& platform, int workspaceFd, std::string_view id,
                               bool requireManifest) {
  const std::string path = std::string(kPreparationRoot) + "/" + std::string(id);
  const auto listing = platform::listDirectory(workspaceFd, kWorkspaceEntriesExamined);
  if (!listing) throw InstallerSafetyError::refused("Could not inspect " + path);
  bool hasManifest = false;
  for (const std::string& name : listing->names) {
    if (std::find(std::begin(kWorkspaceAllowedEntries), std::end(kWorkspaceAllowedEntries), name) ==
        std::end(kWorkspaceAllowedEntries)) {
      throw InstallerSafetyError::refused(kUnexpectedWorkspaceEntries);
    }
    hasManifest = hasManifest || name == kPreparationManifestName;
  }
  if (!requireManifest || !hasManifest) return;
  const std::string bytes = readBoundedMetadata(platform.root, path + "/" + std::string(kPreparationManifestName),
                                                kPreparationRoot, kPreparationManifestLimitBytes);
  decodePreparationManifest(bytes, id);
}

PreparationManifest decodePreparationManifest(std::string_view bytes, std::string_view id) {
  PreparationManifest manifest;
  try {
    manifest = platform::json::decodeDocument<PreparationManifest>(bytes);
  } catch (const std::exception&) {
    throw InstallerSafetyError::refused(kManifestDoesNotMatch);
  }
  if (manifest.schema != 1 || manifest.operationID != id ||
      (manifest.purpose != "installer" && manifest.purpose != "safety-check")) {
    throw InstallerSafetyError::refused(kManifestDoesNotMatch);
  }
  return manifest;
}

}  // namespace tidewarden::storage
