// Whether the assembled application is Apple's installer, signed by Apple, with Apple's createinstallmedia.
#include "materialize/apple_installer_validation.h"

#include <fcntl.h>

#include <cerrno>
#include <memory>

#include "platform/code_signing.h"
#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/system_tools.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::materialize {
namespace {

using storage::InstallerSafetyError;

void checkAppleSignature(const platform::CodeSigning& signing, const std::string& path) {
  std::string explanation;
  std::shared_ptr<const platform::CodeRequirement> requirement;
  std::shared_ptr<const platform::StaticCodeObject> code;
  platform::OSStatus status =
      signing.createRequirementWithString(kAppleAnchorRequirement, platform::kSecCSDefaultFlags, requirement);
  if (status == platform::kErrSecSuccess) {
    status = signing.createStaticCodeWithPath(path, platform::kSecCSDefaultFlags, code);
  }
  if (status == platform::kErrSecSuccess) {
    status = signing.checkStaticValidity(*code, platform::kSecCSDefaultFlags, requirement.get(), &explanation);
  }
  if (status == platform::kErrSecSuccess) return;
  if (explanation.empty()) explanation = platform::CodeSigning::errorMessage(status);
  if (explanation.empty()) explanation = "No additional Security framework explanation was returned.";
  throw InstallerSafetyError::refused("Apple code-signature validation failed at " + path + ": " + explanation);
}

}  // namespace

bool isInstallerIdentifier(std::string_view identifier) {
  return identifier == kInstallerIdentifier ||
         (identifier.size() > kInstallerIdentifier.size() + 1 &&
          identifier.substr(0, kInstallerIdentifier.size()) == kInstallerIdentifier &&
          identifier[kInstallerIdentifier.size()] == '.');
}

void validateAppleInstaller(const platform::Platform& platform, const ExtractedInstaller& installer) {
  const std::string infoPath = installer.path + "/Contents/Info.plist";
  const std::string bytes = storage::readBoundedMetadata(platform.root, infoPath, storage::kPreparationRoot,
                                                         storage::kInstallerInfoPlistLimitBytes);
  const auto plist = platform::PropertyList::parse(bytes, storage::kInstallerInfoPlistLimitBytes);
  const std::optional<std::string> identifier =
      plist ? plist->root().get("CFBundleIdentifier").asString() : std::nullopt;
  if (!identifier || !isInstallerIdentifier(*identifier)) {
    throw InstallerSafetyError::refused("The installer identifier is not a supported Apple InstallAssistant identity.");
  }
  const std::string tool = installer.path + std::string(platform::tools::kCreateInstallMediaInBundle);
  const platform::UniqueFd file = platform::openBeneath(platform.root, tool, O_RDONLY | O_NONBLOCK);
  const auto facts = file ? platform::fileFacts(file.get()) : std::nullopt;
  if (!facts || !facts->regular || (facts->permissions & 0111) == 0) {
    throw InstallerSafetyError::refused("Apple's createinstallmedia executable is missing or not executable.");
  }
  checkAppleSignature(platform.codeSigning, installer.path);
  checkAppleSignature(platform.codeSigning, tool);
}

}  // namespace tidewarden::materialize
