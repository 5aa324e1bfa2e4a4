// Turning a completed InstallAssistant.pkg into a verified installer in /Applications, phase by phase.
#include "materialize/materialize_flow.h"

#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "materialize/apple_installer_validation.h"
#include "materialize/apple_package_signature.h"
#include "materialize/extracted_installer.h"
#include "materialize/installer_placement.h"
#include "materialize/macos_identity_patterns.h"
#include "materialize/payload_identity.h"
#include "materialize/payload_metadata.h"
#include "materialize/private_package_snapshot.h"
#include "materialize/shared_support_assembly.h"
#include "materialize/tool_failure_text.h"
#include "platform/byte_count_text.h"
#include "platform/file_io.h"
#include "storage/activity_evidence.h"
#include "storage/data_volume_free_space.h"
#include "storage/installer_removal_target.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_cleanup.h"
#include "storage/preparation_storage_gate.h"
#include "storage/preparation_tree_snapshot.h"
#include "storage/safe_paths.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::materialize {
namespace {

using storage::InstallerSafetyError;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

// What validation hands on: the held gate, the open saved package and its identity.
struct ValidatedRequest {
  storage::PreparationStorageGate gate;
  platform::UniqueFd package;
  storage::InstallerFileIdentity identity;
};

ValidatedRequest validateRequest(const platform::Platform& platform, const MaterializeInstallAssistantRequest& request) {
  if (!isMacOSVersion(request.expectedVersion) || !isMacOSBuild(request.expectedBuild)) {
    refuse("The request does not contain a valid expected macOS version/build.");
  }
  const std::string onlyComplete =
      "Only a completed InstallAssistant.pkg in an immediate Tidewarden download workspace can be prepared. Path: ";
  std::string path;
  try {
    path = storage::canonicalPath(request.packagePath);
  } catch (const InstallerSafetyError&) {
    refuse(onlyComplete + request.packagePath);
  }
  if (storage::classifyDownloadPath(path) != storage::InstallerDownloadSource::tidewarden ||
      path.substr(path.rfind('/') + 1) != storage::kCompletePackageName) {
    refuse(onlyComplete + path);
  }
  platform::UniqueFd package = storage::openFileBeneathApprovedRoot(platform.root, path, storage::kDownloadsRoot);
  const auto facts = platform::fileFacts(package.get());
  if (!facts || !facts->regular || facts->links != 1 || facts->size <= 0) {
    refuse("The saved package is not a supported complete regular installer file, or it has multiple hard links.");
  }
  // The budget is measured before the gate is opened, so that a refusal for space
  // creates nothing at all (the gate makes the preparation folders).
  constexpr std::int64_t kLargestBudgetedPackage =
      (std::numeric_limits<std::int64_t>::max() - kMaterializeHeadroomBytes) / 3;
  const std::int64_t size = facts->size;
  const std::int64_t budget =
      size > kLargestBudgetedPackage ? std::numeric_limits<std::int64_t>::max() : 3 * size + kMaterializeHeadroomBytes;
  const auto available = storage::dataVolumeFreeBytes(platform);
  if (!available || *available < budget) {
    refuse("Preparation requires a conservative " + platform::fileByteCountText(budget) +
           " of additional working space. The saved package was kept; no new preparation workspace was created.");
  }
  ValidatedRequest validated{storage::PreparationStorageGate::open(platform), std::move(package),
                             storage::fileIdentity(*facts)};
  validated.gate.requireNoEarlierWorkspace();
  return validated;
}

// Removes the operation's own workspace while the gate is held, unless an image may
// still be attached inside it: cleanup never deletes beneath a mount.
storage::InstallerPreparationCleanupReport removeOwnWorkspace(const platform::Platform& platform,
                                                              storage::PreparationWorkspace& workspace) {
  storage::InstallerPreparationCleanupReport kept;
  kept.workspacePath = workspace.path();
  const storage::AttachedImagesAnswer images = storage::attachedImages(platform);
  if (images.unknownReason) {
    kept.issues.push_back(*images.unknownReason);
    return kept;
  }
  if (!storage::imageEvidence(images.images, workspace.path()).isClear()) {
    kept.issues.emplace_back(storage::kImageAssociatedMessage);
    return kept;
  }
  storage::PreparationTreeSnapshot snapshot;
  try {
    const platform::UniqueFd ws = workspace.gate().openWorkspace(workspace.id());
    snapshot = storage::snapshotPreparationTree(ws.get(), workspace.gate().platform().fileFlags);
  } catch (const std::exception& error) {
    kept.issues.emplace_back(error.what());
    return kept;
  }
  return storage::removePreparationWorkspace(workspace.gate(), workspace.id(), snapshot,
                                             storage::PreparationRemovalRequester::ownOperation);
}

}  // namespace

MaterializeInstallAssistantResponse materializeInstallAssistantPackage(const platform::Platform& platform,
                                                                       const MaterializeInstallAssistantRequest& request) {
  MaterializeInstallAssistantResponse response;
  std::optional<ValidatedRequest> validated;
  std::optional<storage::PreparationWorkspace> workspace;
  try {
    validated.emplace(validateRequest(platform, request));
    workspace.emplace(
        validated->gate.makeWorkspace(request.expectedVersion, request.expectedBuild, std::string(kWorkspacePurpose)));
  } catch (const std::exception& error) {
    response.message = error.what();
    return response;
  }

  std::string_view phase = kMaterializePhases[0];
  const auto enter = [&](std::size_t index) {
    phase = kMaterializePhases[index];
    workspace->recordPhase(std::string(phase));
  };
  std::string failure;
  PayloadReading payload;
  try {
    // The directory exists from here on: a manifest that cannot be written (a full or
    // failing disk) fails the request like any later step, and the cleanup below
    // removes the workspace, so it does not block every later preparation.
    workspace->recordPhase("created");
    const std::string snapshotPath = workspace->path() + "/" + std::string(kSnapshotName);
    enter(1);
    makePrivatePackageSnapshot(platform, validated->package.get(), validated->identity, *workspace);
    validated->package.reset();
    const storage::InstallerFileIdentity snapshotIdentity = privatePackageSnapshotIdentity(*workspace);

    enter(2);
    checkApplePackageSignature(platform, snapshotPath);

    enter(3);
    const platform::ToolCommand expand =
        platform::tools::pkgutilExpandFull(snapshotPath, workspace->path() + "/" + std::string(kExpandedName));
    const storage::ScopedCommandResult expanded =
        storage::runScopedCommand(platform, expand, storage::FreeSpaceWatch{storage::kPreparationReserveBytes});
    if (!finishedSuccessfully(expanded)) refuse(toolFailureText(expand, expanded));

    enter(4);
    const ExtractedInstaller installer = locateExtractedInstaller(*workspace);

    enter(5);
    const SharedSupportSource source = assembleSharedSupport(platform, *workspace, installer);

    enter(6);
    validateAppleInstaller(platform, installer);

    enter(7);
    readPayloadIdentity(platform, *workspace, installer, payload);
    if (source != SharedSupportSource::packageSnapshot) {
      removePrivatePackageSnapshot(platform, *workspace, snapshotIdentity);
    }
    matchExpectedIdentity({request.expectedVersion, request.expectedBuild}, *payload.identity);

    enter(8);
    response.installerPath = placeVerifiedInstaller(platform, *workspace, installer);
    response.success = true;
    response.message = kMaterializeSuccessMessage;
  } catch (const std::exception& error) {
    failure = "Preparation failed while " + std::string(phase) + ": " + error.what();
  }

  // Reported once read, whatever failed after it.
  response.payloadIdentity = payload.identity;
  response.preparationCleanup = removeOwnWorkspace(platform, *workspace);
  if (!response.success) {
    if (payload.imageMayRemain && !response.preparationCleanup->verified) failure += kWorkspaceRemainsForRecovery;
    response.message = failure + " " + storage::cleanupSummary(*response.preparationCleanup);
  }
  return response;
}

}  // namespace tidewarden::materialize
