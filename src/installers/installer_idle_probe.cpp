// Whether a local installer is idle enough to be deleted, and the free space around it.
#include "installers/installer_idle_probe.h"

#include <algorithm>
#include <array>

#include "installers/installer_process_listing.h"
#include "platform/free_space.h"
#include "platform/process_facts.h"
#include "platform/system_tools.h"
#include "storage/activity_evidence.h"
#include "storage/installer_safety_error.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::installers {

using storage::InstallerActivityEvidence;
using storage::InstallerSafetyError;

void requireInstallerIdle(const platform::Platform& platform, const std::string& bundlePath) {
  const storage::AttachedImagesAnswer images = storage::attachedImages(platform);
  if (images.unknownReason) throw InstallerSafetyError::refused("Installer activity could not be verified.");
  if (!storage::imageEvidence(images.images, bundlePath).isClear()) {
    throw InstallerSafetyError::refused(
        "A disk image associated with this local installer is attached. Check Installer Storage and use Release "
        "Installer Image\u2026 before reviewing deletion. Nothing was deleted.");
  }
  const storage::ScopedCommandResult lsof =
      storage::runScopedCommand(platform, platform::tools::lsofInstallerApplication(bundlePath));
  const InstallerActivityEvidence files =
      storage::readPreparationOpenFileEvidence(lsof, platform.processFacts.processIdentifier());
  if (!files.isClear()) {
    throw InstallerSafetyError::refused(
        "The local installer is in use or its file activity could not be verified. " + files.text());
  }
  const InstallerActivityEvidence installation = storage::installationProcessEvidence(platform);
  if (!installation.isClear()) throw InstallerSafetyError::refused(installation.text());

  const auto names = readProcessNames(storage::runScopedCommand(platform, platform::tools::psCommandNames()));
  if (!names) throw InstallerSafetyError::refused("Installer activity could not be completely checked.");
  constexpr std::array<std::string_view, 3> kBlocking{"createinstallmedia", "pkgutil", "hdiutil"};
  for (const std::string& name : *names) {
    if (std::find(kBlocking.begin(), kBlocking.end(), name) != kBlocking.end()) {
      throw InstallerSafetyError::refused(
          "An installer, package or disk-image operation is still running. Wait until it finishes before deleting an "
          "installer.");
    }
  }
}

std::optional<std::int64_t> installerVolumeFreeSpace(const platform::Platform& platform, const std::string& path) {
  return platform.freeSpace.freeBytes(path);
}

}  // namespace tidewarden::installers
