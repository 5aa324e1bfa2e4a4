// The Apple-anchored code-signature checks of a local installer and of its createinstallmedia.
#include "installers/installer_signature.h"

#include <memory>

#include "installers/installer_identity.h"
#include "platform/system_tools.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::installers {
namespace {

constexpr std::size_t kDetailLimit = 700;

[[noreturn]] void refuse(const std::string& label, const std::string& step, platform::OSStatus status,
                         std::string detail, const char* fallbackDetail) {
  if (detail.empty()) detail = platform::CodeSigning::errorMessage(status);
  if (detail.empty()) detail = fallbackDetail;
  if (detail.size() > kDetailLimit) detail.resize(kDetailLimit);
  throw storage::InstallerSafetyError::refused(label + " could not pass " + step + " (Security status " +
                                               std::to_string(status) + "). Permanent deletion was not approved. " +
                                               detail);
}

constexpr const char* kNoValidityExplanation = "No additional Security framework explanation was returned.";

}  // namespace

void checkStaticCode(const platform::CodeSigning& signing, const std::string& path, const std::string& requirement,
                     const std::string& label, bool allowResourcePolicyFallback) {
  std::shared_ptr<const platform::CodeRequirement> compiled;
  platform::OSStatus status = signing.createRequirementWithString(requirement, platform::kSecCSDefaultFlags, compiled);
  if (status != platform::kErrSecSuccess) {
    refuse(label, "creating the Apple identity requirement", status, "", "No deletion was approved.");
  }
  std::shared_ptr<const platform::StaticCodeObject> code;
  status = signing.createStaticCodeWithPath(path, platform::kSecCSDefaultFlags, code);
  if (status != platform::kErrSecSuccess) {
    refuse(label, "opening its static code signature", status, "", "Signature inspection could not be completed.");
  }
  std::string explanation;
  status = signing.checkStaticValidity(*code, kStrictInstallerCheckFlags, compiled.get(), &explanation);
  if (status == platform::kErrSecSuccess) return;
  if (status != platform::kErrSecCSWeakResourceRules || !allowResourcePolicyFallback) {
    refuse(label, "strict signature verification", status, explanation, kNoValidityExplanation);
  }
  explanation.clear();
  status = signing.checkStaticValidity(*code, kRelaxedInstallerCheckFlags, compiled.get(), &explanation);
  if (status != platform::kErrSecSuccess) {
    refuse(label, "Apple-installer resource-policy verification", status, explanation, kNoValidityExplanation);
  }
}

void validateInstallerSignature(const platform::Platform& platform, const std::string& bundlePath) {
  const std::string identifier = installerIdentity(platform, bundlePath);
  checkStaticCode(platform.codeSigning, bundlePath, "anchor apple and identifier \"" + identifier + "\"",
                  "Local macOS installer", /*allowResourcePolicyFallback=*/true);
  checkStaticCode(platform.codeSigning, bundlePath + std::string(platform::tools::kCreateInstallMediaInBundle),
                  "anchor apple", "Apple's createinstallmedia executable", /*allowResourcePolicyFallback=*/false);
}

}  // namespace tidewarden::installers
