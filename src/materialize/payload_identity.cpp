// Reading the macOS identity from the installer's payload image, attached privately and read-only.
#include "materialize/payload_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "materialize/payload_attachment.h"
#include "materialize/payload_metadata.h"
#include "materialize/tool_failure_text.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "storage/activity_evidence.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::materialize {
namespace {

using platform::UniqueFd;
using storage::InstallerSafetyError;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

// An empty directory owned by root on `device`.
bool isEmptyPrivateDirectory(int directory, dev_t device) {
  const auto facts = platform::fileFacts(directory);
  if (!facts || !facts->directory || facts->owner != 0 || facts->device != device) return false;
  const auto listing = platform::listDirectory(directory, 1);
  return listing && listing->names.empty();
}

// The metadata bytes of the first choice that exists beneath the mount point.
std::string readMetadata(const platform::Platform& platform, const std::string& mountPoint) {
  for (std::string_view relative : {kPayloadMetadataFirstChoice, kPayloadMetadataSecondChoice}) {
    const std::string path = mountPoint + "/" + std::string(relative);
    if (!platform::openBeneath(platform.root, path, O_PATH)) {
      if (errno == ENOENT) continue;
      refuse("Cannot inspect payload metadata: " + platform::errnoText(errno));
    }
    try {
      return storage::readBoundedMetadata(platform.root, path, mountPoint, kPayloadMetadataLimitBytes);
    } catch (const InstallerSafetyError&) {
      break;
    }
  }
  refuse("No supported OSVersion/Build asset metadata was found in " + mountPoint +
         ". The installer application's version was not substituted.");
}

// Detaches what the attach reported, after proving it is still exactly that
// attachment. Returns the problem, or nothing once the detach is verified.
std::optional<std::string> detachPayload(const platform::Platform& platform, const std::string& imagePath,
                                         const std::string& mountPoint, const PayloadAttachment& attachment,
                                         int workspace, dev_t device) {
  const storage::AttachedImagesAnswer inventory = storage::attachedImages(platform);
  if (inventory.unknownReason) {
    return "The image attachment could not be verified during final checks (" + *inventory.unknownReason +
           "); no detach was attempted.";
  }
  const storage::PreparationAttachedImage* current = nullptr;
  for (const storage::PreparationAttachedImage& image : inventory.images) {
    if (std::find(image.mounts.begin(), image.mounts.end(), mountPoint) != image.mounts.end()) current = &image;
  }
  if (current == nullptr) return std::string(kAttachmentChangedMessage);
  std::vector<std::string> devices = current->devices;
  std::vector<std::string> expected = attachment.devices;
  std::sort(devices.begin(), devices.end());
  std::sort(expected.begin(), expected.end());
  if (current->imagePath != imagePath || devices != expected || current->mounts != attachment.mountPoints) {
    return "A disk-image association changed; automatic detach was refused for " + imagePath;
  }
  const platform::ToolCommand detach = platform::tools::hdiutilDetach(attachment.devices.front());
  const storage::ScopedCommandResult result = storage::runScopedCommand(platform, detach);
  if (!finishedSuccessfully(result)) {
    // A detach that exited 0 but whose answer was cut off may well have worked: it is
    // unconfirmed, not failed.
    return std::string(result.status == 0 ? "The detach of the private payload image was not confirmed: "
                                          : "The private payload image could not be detached: ") +
           toolFailureText(detach, result);
  }
  const UniqueFd mount = platform::openAt(workspace, std::string(kPayloadMountPointName), O_RDONLY | O_DIRECTORY);
  if (!mount) return "Could not verify the detached payload mountpoint: " + platform::errnoText(errno);
  if (!isEmptyPrivateDirectory(mount.get(), device)) {
    return std::string("The payload mountpoint was replaced or is still mounted after detach.");
  }
  return std::nullopt;
}

}  // namespace

InstallerPayloadIdentity readPayloadIdentity(const platform::Platform& platform,
                                             const storage::PreparationWorkspace& workspace,
                                             const ExtractedInstaller& installer, PayloadReading& reading) {
  const UniqueFd ws = workspace.gate().openWorkspace(workspace.id());
  const auto wsFacts = platform::fileFacts(ws.get());
  const std::string mountPoint = workspace.path() + "/" + std::string(kPayloadMountPointName);
  const std::string imagePath = installer.path + "/Contents/SharedSupport/SharedSupport.dmg";
  if (!wsFacts || ::mkdirat(ws.get(), std::string(kPayloadMountPointName).c_str(), 0700) != 0) {
    refuse("Cannot create the private payload mountpoint: " + platform::errnoText(errno));
  }
  {
    const UniqueFd mount = platform::openAt(ws.get(), std::string(kPayloadMountPointName), O_RDONLY | O_DIRECTORY);
    if (!mount || !isEmptyPrivateDirectory(mount.get(), wsFacts->device)) {
      refuse("The private payload mountpoint is not empty or could not be verified: " + mountPoint);
    }
  }

  const platform::ToolCommand attach = platform::tools::hdiutilAttachPrivate(imagePath, mountPoint);
  const storage::ScopedCommandResult attached = storage::runScopedCommand(platform, attach);
  if (!finishedSuccessfully(attached)) {
    refuse("The payload image did not attach exclusively at its own private mountpoint: " +
           toolFailureText(attach, attached));
  }
  std::string problem;
  const std::optional<PayloadAttachment> attachment = readPayloadAttachment(attached.standardOutput, problem);
  if (!attachment) {
    refuse("The payload image did not attach exclusively at its own private mountpoint: " + problem);
  }
  if (attachment->mountPoints != std::vector<std::string>{mountPoint}) {
    refuse("The payload image did not attach exclusively at its own private mountpoint: hdiutil reported " +
           std::to_string(attachment->mountPoints.size()) + " mount point(s)" +
           (attachment->mountPoints.empty() ? std::string(".") : ", first " + attachment->mountPoints.front() + "."));
  }

  std::optional<InstallerPayloadIdentity> identity;
  std::string failure;
  try {
    identity = parsePayloadMetadata(readMetadata(platform, mountPoint));
    reading.identity = identity;
  } catch (const std::exception& error) {
    failure = error.what();
  }
  const std::optional<std::string> detachProblem =
      detachPayload(platform, imagePath, mountPoint, *attachment, ws.get(), wsFacts->device);
  if (detachProblem) {
    std::string text = (identity ? std::string("Payload was read.") : failure) + " Image cleanup: " + *detachProblem;
    if (text.back() != '.') text += ".";
    // An attachment that vanished was detached by someone else; any other problem may
    // leave the image attached inside the workspace (whether it does, the cleanup finds
    // out from hdiutil info and says).
    reading.imageMayRemain = *detachProblem != kAttachmentChangedMessage;
    refuse(text);
  }
  if (!identity) refuse(failure);
  return *identity;
}

}  // namespace tidewarden::materialize
