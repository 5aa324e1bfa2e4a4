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
  // The admission rule applied to an identity the code merely states.
  using Admissible = std::function<bool(const SigningIdentity&)>;
  // Resolves a process to its verified identity. It may ask `admissible` about what the
  // code states before verifying it, and give up at once on a no.
  using Resolver = std::function<std::optional<SigningIdentity>(pid_t, const Admissible& admissible)>;

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

  // Resolves a running process, cheapest refusal first: what its signature states is
  // read without hashing anything and must be `admissible`; then its code must pass the
  // validity check (which refuses a traced process, foreign code in it, or an oversized
  // executable before hashing) before its verified identity is read. Absent on any
  // failure.
  static std::optional<SigningIdentity> resolveProcess(const platform::CodeSigning& codeSigning, pid_t pid,
                                                       const Admissible& admissible);

  // True only when the process is the application with the helper's own team. The rule
  // is applied to the stated identity (to refuse before hashing) and then to the
  // verified one, which alone decides: a refusal on the first would also be one on the
  // second, as both are read from the same pinned file.
  bool validate(pid_t pid) const;

  const std::optional<SigningIdentity>& helperIdentity() const { return helperIdentity_; }
  const std::optional<HelperRuntimeStamp>& runtimeStamp() const { return runtimeStamp_; }

 private:
  // The rule, in order: the expected identifier, a client team, a helper team, equal teams.
  bool admits(const SigningIdentity& client) const;

  const std::optional<SigningIdentity> helperIdentity_;
  const Resolver resolveClient_;
  const std::optional<HelperRuntimeStamp> runtimeStamp_;
};

}  // namespace tidewarden::helper
