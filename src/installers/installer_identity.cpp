// Whether a bundle is Apple's macOS installer: its Info.plist identity and its media-creation tool.
#include "installers/installer_identity.h"

#include <fcntl.h>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/system_tools.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::installers {

using storage::InstallerSafetyError;

std::string readInstallerIdentifier(std::string_view infoPlist) {
  const auto plist = platform::PropertyList::parse(infoPlist, storage::kInstallerInfoPlistLimitBytes);
  if (!plist) throw InstallerSafetyError::refused("The installer's Info.plist could not be parsed.");
  if (plist->root().type() != platform::PlistType::dictionary) {
    throw InstallerSafetyError::refused("The installer's Info.plist is not a dictionary.");
  }
  const std::optional<std::string> identifier = plist->root().get("CFBundleIdentifier").asString();
  const std::string family = std::string(kInstallAssistantIdentifier) + ".";
  if (!identifier || (*identifier != kInstallAssistantIdentifier && !identifier->starts_with(family))) {
    throw InstallerSafetyError::refused(kNotAnAppleInstallerMessage);
  }
  if (plist->root().get("CFBundlePackageType").asString() != std::optional<std::string>("APPL")) {
    throw InstallerSafetyError::refused(kNotAnAppleInstallerMessage);
  }
  const bool bare = *identifier == family;
  const bool allowed = identifier->find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
                       std::string::npos;
  if (bare || identifier->size() > 255 || !allowed) throw InstallerSafetyError::refused(kUnsupportedIdentifierMessage);
  return *identifier;
}

std::string installerIdentity(const platform::Platform& platform, const std::string& bundlePath) {
  const std::string bytes = storage::readBoundedMetadata(platform.root, bundlePath + "/Contents/Info.plist",
                                                         bundlePath, storage::kInstallerInfoPlistLimitBytes);
  std::string identifier = readInstallerIdentifier(bytes);
  const std::string tool = bundlePath + std::string(platform::tools::kCreateInstallMediaInBundle);
  std::optional<platform::FileFacts> facts;
  try {
    const platform::UniqueFd file = storage::openFileBeneathApprovedRoot(platform.root, tool, bundlePath);
    facts = platform::fileFacts(file.get());
  } catch (const InstallerSafetyError&) {
    facts.reset();
  }
  if (!facts || !facts->regular || (facts->permissions & 0111) == 0) {
    throw InstallerSafetyError::refused("The installer's media-creation executable is missing or invalid.");
  }
  return identifier;
}

}  // namespace tidewarden::installers
