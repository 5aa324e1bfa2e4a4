// Admission rule: only the product's own application, signed by the helper's team.
#include "helper/client_code_validator.h"

#include "platform/code_signing.h"

namespace tidewarden::helper {

using platform::CodeSigning;
using platform::kErrSecSuccess;
using platform::kSecCSDefaultFlags;
using platform::kSecCSSigningInformation;

ClientCodeValidator::ClientCodeValidator(std::optional<SigningIdentity> helperIdentity, Resolver resolveClient,
                                         std::optional<HelperRuntimeStamp> runtimeStamp)
    : helperIdentity_(std::move(helperIdentity)),
      resolveClient_(std::move(resolveClient)),
      runtimeStamp_(std::move(runtimeStamp)) {}

std::optional<SigningIdentity> ClientCodeValidator::readSigningIdentity(const CodeSigning& codeSigning,
                                                                        const platform::StaticCodeObject& code) {
  std::optional<platform::SigningInformation> information;
  if (codeSigning.copySigningInformation(code, kSecCSSigningInformation, information) != kErrSecSuccess ||
      !information) {
    return std::nullopt;
  }
  return SigningIdentity{information->identifier, information->teamIdentifier, information->mainExecutable};
}

std::optional<SigningIdentity> ClientCodeValidator::resolveProcess(const CodeSigning& codeSigning, pid_t pid,
                                                                   const Admissible& admissible) {
  std::shared_ptr<const platform::CodeObject> guest;
  if (codeSigning.copyGuestWithProcessIdentifier(pid, kSecCSDefaultFlags, guest) != kErrSecSuccess || !guest) {
    return std::nullopt;
  }
  std::shared_ptr<const platform::StaticCodeObject> staticCode;
  if (codeSigning.copyStaticCode(*guest, kSecCSDefaultFlags, staticCode) != kErrSecSuccess || !staticCode) {
    return std::nullopt;
  }
  // Cheap first: unsigned, ad hoc, another identifier or another team is refused from
  // the signature block alone, before the executable is hashed. What it states is used
  // for nothing else.
  const std::optional<SigningIdentity> stated = readSigningIdentity(codeSigning, *staticCode);
  if (!stated || !admissible(*stated)) return std::nullopt;
  // Validity before identity: a modified client is refused here, before anything it
  // claims about itself is believed.
  if (codeSigning.checkValidity(*guest, kSecCSDefaultFlags, nullptr) != kErrSecSuccess) return std::nullopt;
  return readSigningIdentity(codeSigning, *staticCode);
}

std::shared_ptr<const ClientCodeValidator> ClientCodeValidator::makeForRunningHelper(const CodeSigning& codeSigning) {
  std::optional<SigningIdentity> helperIdentity;
  std::shared_ptr<const platform::CodeObject> self;
  std::shared_ptr<const platform::StaticCodeObject> selfStatic;
  if (codeSigning.copySelf(kSecCSDefaultFlags, self) == kErrSecSuccess && self &&
      codeSigning.copyStaticCode(*self, kSecCSDefaultFlags, selfStatic) == kErrSecSuccess && selfStatic) {
    helperIdentity = readSigningIdentity(codeSigning, *selfStatic);
  }

  std::optional<HelperRuntimeStamp> stamp;
  if (helperIdentity && helperIdentity->executable) {
    try {
      stamp = HelperRuntimeStamp::capture(*helperIdentity->executable);
    } catch (...) {
      // Whatever went wrong (also an allocation failure), the helper serves without a
      // stamp; only the ping reply shows the difference.
    }
  }

  Resolver resolver = [&codeSigning](pid_t pid, const Admissible& admissible) {
    return resolveProcess(codeSigning, pid, admissible);
  };
  return std::make_shared<const ClientCodeValidator>(std::move(helperIdentity), std::move(resolver), std::move(stamp));
}

bool ClientCodeValidator::validate(pid_t pid) const {
  if (!helperIdentity_) return false;
  const auto client = resolveClient_(pid, [this](const SigningIdentity& stated) { return admits(stated); });
  return client && admits(*client);
}

bool ClientCodeValidator::admits(const SigningIdentity& client) const {
  if (!client.identifier || *client.identifier != kExpectedClientIdentifier) return false;
  if (!client.teamIdentifier || client.teamIdentifier->empty()) return false;
  if (!helperIdentity_->teamIdentifier || helperIdentity_->teamIdentifier->empty()) return false;
  return *client.teamIdentifier == *helperIdentity_->teamIdentifier;
}

}  // namespace tidewarden::helper
