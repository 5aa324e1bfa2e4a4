// Admission rule: only the product's own application, signed by the helper's team.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "helper/helper_runtime_stamp.h"

namespace tidewarden::platform {
class CodeSigning;
class StaticCodeObject;
}  // namespace tidewarden::platform

namespace tidewarden::helper {

struct SigningIdentity {
  std::optional<std::string> identifier;
  std::optional<std::string> teamIdentifier;
  std::optional<std::string> executable;  // main executable location
};

// Built once at start-up and read-only afterwards, so admission on several
// connection threads at once needs no lock.
class ClientCodeValidator {
 public:
  using Resolver = std::function<std::optional<SigningIdentity>(pid_t)>;

  static constexpr const char* kExpectedClientIdentifier = "com.ambergrove.Tidewarden";

  ClientCodeValidator(std::optional<SigningIdentity> helperIdentity, Resolver resolveClient,
                      std::optional<HelperRuntimeStamp> runtimeStamp);

  // Start-up: reads the helper's own identity from its on-disk code, installs the
  // process-identifier resolver and captures the runtime stamp of the helper's main
  // executable. Any failure leaves the identity or the stamp absent; nothing throws.
  static std::shared_ptr<const ClientCodeValidator> makeForRunningHelper(const platform::CodeSigning& codeSigning);

  // Identity of on-disk code; absent when the signing information cannot be read.
  static std::optional<SigningIdentity> readSigningIdentity(const platform::CodeSigning& codeSigning,
                                                            const platform::StaticCodeObject& code);

  // Resolves a running process: its code must pass the validity check before its
  // identity is read. Absent on any failure.
  static std::optional<SigningIdentity> resolveProcess(const platform::CodeSigning& codeSigning, pid_t pid);

  // True only when the process is the application with the helper's own team.
  bool validate(pid_t pid) const;

  const std::optional<SigningIdentity>& helperIdentity() const { return helperIdentity_; }
  const std::optional<HelperRuntimeStamp>& runtimeStamp() const { return runtimeStamp_; }

 private:
  const std::optional<SigningIdentity> helperIdentity_;
  const Resolver resolveClient_;
  const std::optional<HelperRuntimeStamp> runtimeStamp_;
};

}  // namespace tidewarden::helper
