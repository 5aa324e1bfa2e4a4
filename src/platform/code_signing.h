// Code-signing services: own code, guest code by pid, static code by path, validity and signing information.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/trust_anchor.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

using OSStatus = std::int32_t;

// Status numbers are those of the Security framework, so callers and replies quote
// the same numbers on both platforms.
inline constexpr OSStatus kErrSecSuccess = 0;
// The code object carries no signature at all.
inline constexpr OSStatus kErrSecCSUnsigned = -67062;
// The signature or the signed bytes were modified (or the signature is malformed).
inline constexpr OSStatus kErrSecCSSignatureFailed = -67061;
// The code is validly signed but does not satisfy the requirement it was checked against.
inline constexpr OSStatus kErrSecCSReqFailed = -67050;
// The requirement text is not in the supported requirement language.
inline constexpr OSStatus kErrSecCSReqInvalid = -67052;
// No code object exists at the path (missing, a symbolic link, or not a file or directory).
inline constexpr OSStatus kErrSecCSStaticCodeNotFound = -67068;
// No running process with that process identifier.
inline constexpr OSStatus kErrSecCSNoSuchCode = -67065;
// The guest process ended, was replaced by another process, or now runs another file; or
// it is traced, or maps code other than its own executable and the system libraries
// (what the hardened runtime and library validation rule out on macOS).
inline constexpr OSStatus kErrSecCSGuestInvalid = -67063;
// A sealed resource of a bundle was added, removed, changed or is of a forbidden type.
inline constexpr OSStatus kErrSecCSBadResource = -67054;
// The bundle's resources could not be found at all.
inline constexpr OSStatus kErrSecCSResourcesNotFound = -67056;
// The bundle's resources exceed the walk limits or cannot be read.
inline constexpr OSStatus kErrSecCSResourcesInvalid = -67055;
// The signature omits files from its seal; refused under strict validation.
inline constexpr OSStatus kErrSecCSWeakResourceRules = -67013;
// Contents/Info.plist of a bundle cannot be read or parsed.
inline constexpr OSStatus kErrSecCSInfoPlistFailed = -67030;
// The bundle names a main executable that is missing or not a regular file.
inline constexpr OSStatus kErrSecCSNoMainExecutable = -67029;
// A directory that is not a bundle (no Contents directory).
inline constexpr OSStatus kErrSecCSBadBundleFormat = -67028;
// A code object handed in was not made by this service.
inline constexpr OSStatus kErrSecCSInvalidObjectRef = -67071;
// A flag bit that the operation does not know.
inline constexpr OSStatus kErrSecCSInvalidFlags = -67070;
// A file changed while it was being checked.
inline constexpr OSStatus kErrSecCSStaticCodeChanged = -67034;
// An unexpected system failure while reading code.
inline constexpr OSStatus kErrSecCSInternalError = -67048;
// A guest's executable is larger than kMaxGuestExecutableBytes.
inline constexpr OSStatus kErrSecCSTooBig = -67004;

// Largest executable a guest check hashes. A guest is checked on every connection the
// helper admits, and its executable is hashed whole; without a bound any local user
// could make the daemon read gigabytes per connection. The product's client is a few
// MiB (tens with sanitizers), so this leaves ample room.
inline constexpr std::uint64_t kMaxGuestExecutableBytes = 256ull * 1024 * 1024;

// Flags of the validity and information operations.
inline constexpr std::uint32_t kSecCSDefaultFlags = 0;
// Accepted and without effect: Linux code has one architecture.
inline constexpr std::uint32_t kSecCSCheckAllArchitectures = 1;
// Signing information includes the team identifier.
inline constexpr std::uint32_t kSecCSSigningInformation = 2;
// Accepted and without effect: nested code in a bundle is sealed like any resource.
inline constexpr std::uint32_t kSecCSCheckNestedCode = 8;
// Refuse signatures that leave files of a bundle unsealed (kErrSecCSWeakResourceRules).
inline constexpr std::uint32_t kSecCSStrictValidate = 16;

// Signature flag bits reported in SigningInformation::flags.
inline constexpr std::uint32_t kSecCodeSignatureAdhoc = 0x0002;

struct SigningInformation {
  std::optional<std::string> identifier;
  // Present only when asked for with kSecCSSigningInformation and the team
  // certificate is vouched for by an injected anchor.
  std::optional<std::string> teamIdentifier;
  // Logical path of the main executable (absent for a bundle that names none).
  std::optional<std::string> mainExecutable;
  std::uint32_t flags = 0;
};

class CodeObject;
class StaticCodeObject;
class CodeRequirement;

struct CodeSigningOptions {
  // The only anchors whose team certificates are believed.
  std::vector<TrustAnchor> anchors;
  // The directory that stands for "/" for static code paths; nullptr means "/".
  // Borrowed: it must outlive the CodeSigning object.
  const UniqueFd* root = nullptr;
  // What copySelf reads; tests point it at a signed copy.
  std::string selfExecutable = "/proc/self/exe";
  // The wall clock that decides whether a hashed file is settled enough to be
  // remembered (see codesign::settledBefore); empty means the real clock. Tests set it
  // ahead instead of waiting for files they just wrote to settle.
  std::function<std::timespec()> wallClock;
};

namespace codesign {
class DigestCache;
}

// The signature scheme (see code_signing_format.h): an Ed25519 signature by a team
// key over a code directory that binds identifier, flags, team and certificate to
// the SHA-256 of the executable bytes or of every entry of a bundle. Its only state
// after construction is the cache of verified single-file digests (so an unchanged
// executable is hashed once, not on every admission) and a counter of hashed bytes;
// every method is safe to call from several threads at once. No method throws; each
// reports a Security-framework status.
class CodeSigning {
 public:
  explicit CodeSigning(CodeSigningOptions options);
  ~CodeSigning();
  CodeSigning(const CodeSigning&) = delete;
  CodeSigning& operator=(const CodeSigning&) = delete;

  // The code of this process: the file selfExecutable names, opened once and pinned.
  OSStatus copySelf(std::uint32_t flags, std::shared_ptr<const CodeObject>& code) const;

  // The code a running process executes, pinned through /proc/<pid> so that a later
  // check sees the same process and the same file (see code_signing.cpp for why this
  // holds against pid reuse and file replacement). kErrSecCSNoSuchCode when there is
  // no such process or its executable cannot be opened.
  OSStatus copyGuestWithProcessIdentifier(pid_t pid, std::uint32_t flags,
                                          std::shared_ptr<const CodeObject>& code) const;

  // Verifies the pinned executable's signature. For a guest, first (before anything is
  // hashed) that the process is not traced and maps no code but its executable and
  // root-owned system libraries (else kErrSecCSGuestInvalid; see
  // codesign::checkGuestProcess) and that the executable is at most
  // kMaxGuestExecutableBytes (else kErrSecCSTooBig); afterwards that the process is
  // still the same live process running the same file, and again neither traced nor
  // carrying foreign code (else kErrSecCSGuestInvalid). With a requirement, also that it
  // holds (kErrSecCSReqFailed). A single file whose identity (device, inode, size, times)
  // matches one that verified before is not hashed again.
  OSStatus checkValidity(const CodeObject& code, std::uint32_t flags,
                         const CodeRequirement* requirement) const;

  // The static code of a dynamic one: the very file that was pinned, not a path lookup.
  OSStatus copyStaticCode(const CodeObject& code, std::uint32_t flags,
                          std::shared_ptr<const StaticCodeObject>& staticCode) const;

  // Resolves an absolute logical path under the root, one component at a time, with
  // no symbolic link followed anywhere (kErrSecCSStaticCodeNotFound otherwise). A
  // regular file is single-file code; a directory is a bundle. The object is pinned
  // at creation: later renames of the path do not change what it checks.
  OSStatus createStaticCodeWithPath(std::string_view logicalPath, std::uint32_t flags,
                                    std::shared_ptr<const StaticCodeObject>& staticCode) const;

  // Parses the supported requirement language: `anchor apple`, `anchor apple generic`, `anchor trusted`,
  // `identifier "X"`, `certificate leaf[subject.OU] = "TEAM"`, joined with `and` /
  // `or` (and binds tighter) and parentheses. Anything else: kErrSecCSReqInvalid.
  OSStatus createRequirementWithString(std::string_view text, std::uint32_t flags,
                                       std::shared_ptr<const CodeRequirement>& requirement) const;

  // Verifies a static code object. On failure `errorDescription` (when given) receives
  // a sentence naming what failed (for example the resource that was added); on
  // success it is cleared.
  OSStatus checkStaticValidity(const StaticCodeObject& code, std::uint32_t flags,
                               const CodeRequirement* requirement,
                               std::string* errorDescription = nullptr) const;

  // Reports what the signature states without verifying the signed bytes: it reads
  // the signature block only and hashes nothing. Trust it after checkValidity; before,
  // it is good only for refusing at once code whose own claims could never pass.
  // Unsigned code succeeds with an information record that has no
  // identifier and no team, only the main executable, as the Security framework does.
  // A malformed signature: kErrSecCSSignatureFailed.
  OSStatus copySigningInformation(const StaticCodeObject& code, std::uint32_t flags,
                                  std::optional<SigningInformation>& information) const;

  // The Security framework's explanation of a status; empty for unknown statuses.
  static std::string errorMessage(OSStatus status);

  // Bytes of single-file code this object has hashed so far (cache hits hash nothing),
  // so that tests can tell whether a check read the executable.
  std::uint64_t hashedBytes() const { return hashedBytes_.load(); }

 private:
  CodeSigningOptions options_;
  std::unique_ptr<codesign::DigestCache> digests_;
  mutable std::atomic<std::uint64_t> hashedBytes_{0};
};

}  // namespace tidewarden::platform
