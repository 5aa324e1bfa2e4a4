// The last step: the verified application moves into /Applications atomically, never over anything.
#include "materialize/installer_placement.h"

#include <fcntl.h>

#include <cerrno>

#include "materialize/materialize_flow.h"
#include "platform/directory_entries.h"
#include "platform/file_io.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::materialize {
namespace {

using platform::UniqueFd;
using storage::InstallerSafetyError;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

std::string existingItemMessage(const std::string& name) {
  return "An item already exists at /Applications/" + name +
         ". It was not overwritten. Use the existing installer or explicitly move it first.";
}

UniqueFd openOwnDirectory(int parent, std::string_view name) {
  UniqueFd directory = platform::openAt(parent, std::string(name), O_RDONLY | O_DIRECTORY);
  if (!directory) refuse("Cannot open the extracted installer's folder: " + platform::errnoText(errno));
  return directory;
}

}  // namespace

std::string placeVerifiedInstaller(const platform::Platform& platform, const storage::PreparationWorkspace& workspace,
                                   const ExtractedInstaller& installer) {
  const UniqueFd ws = workspace.gate().openWorkspace(workspace.id());
  const UniqueFd expanded = openOwnDirectory(ws.get(), kExpandedName);
  const UniqueFd payload = openOwnDirectory(expanded.get(), kComponentPayloadName);
  const auto name = platform::SafeName::make(installer.name);
  if (!name) refuse("Cannot open the extracted installer's folder: invalid name");
  const auto before = platform::entryStatusAt(payload.get(), *name);
  if (!before || before->kind != platform::EntryKind::directory) {
    refuse("The extracted installer changed before it could be placed.");
  }

  const UniqueFd applications = storage::openDirectoryNoFollow(platform.root, kApplicationsFolder);
  const auto folder = platform::fileFacts(applications.get());
  if (!folder || !folder->directory || folder->owner != 0) {
    refuse("/Applications is not a root-owned folder; the installer was not placed.");
  }
  if (platform::entryStatusAt(applications.get(), *name)) refuse(existingItemMessage(installer.name));
  if (errno != ENOENT) {
    refuse("Could not check /Applications/" + installer.name + " before placing the installer: " +
           platform::errnoText(errno) + ". Nothing was placed.");
  }
  if (!platform::moveWithoutReplacing(payload.get(), *name, applications.get(), *name)) {
    if (errno == EEXIST) refuse(existingItemMessage(installer.name));
    refuse("Could not atomically place the installer in /Applications; no copy fallback or overwrite was attempted: " +
           platform::errnoText(errno));
  }
  // The move is done: whatever the check finds, the reply must not say the installer
  // is not there.
  const auto after = platform::entryStatusAt(applications.get(), *name);
  if (!after || !after->sameObject(*before)) {
    refuse("The installer was moved to /Applications/" + installer.name +
           ", but what is there now could not be verified as the installer that was checked" +
           (after ? std::string(" (it is another object)") : ": " + platform::errnoText(errno)) +
           ". It was left in place; check it before use, or delete it through Installer Storage.");
  }
  return std::string(kApplicationsFolder) + "/" + installer.name;
}

}  // namespace tidewarden::materialize
