// Making signatures: Ed25519 keys, team certificates, signing files and bundles, describing a signature.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_signing_format.h"

namespace tidewarden::platform {

// A refusal of the signing side; what() is the sentence shown to the person signing.
class SigningError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An Ed25519 private key (anchor or team). Copyable value; the seed never leaves the
// object except through privateKeyPem().
class SigningKey {
 public:
  static SigningKey generate();
  // nullopt when the text is not a PEM Ed25519 private key.
  static std::optional<SigningKey> fromPrivateKeyPem(std::string_view pem);
  std::string privateKeyPem() const;
  std::string publicKey() const;     // raw 32 bytes
  std::string publicKeyPem() const;  // SubjectPublicKeyInfo PEM
  std::string sign(std::string_view message) const;

 private:
  explicit SigningKey(std::string seed) : seed_(std::move(seed)) {}
  std::string seed_;
};

// Raw public key bytes from a PEM Ed25519 public key; nullopt otherwise.
std::optional<std::string> publicKeyFromPem(std::string_view pem);

// A certificate by which the anchor vouches that `subjectPublicKey` belongs to `team`,
// of the class `certifies`. Throws SigningError for names outside [A-Za-z0-9._-]{1,64}.
codesign::TeamCertificate issueTeamCertificate(
    const SigningKey& anchorKey, const std::string& anchorName, const std::string& teamIdentifier,
    const std::string& subjectPublicKey, codesign::CertificateClass certifies = codesign::CertificateClass::developer);

// A team's signing identity: its key and the certificate of that key.
struct TeamIdentity {
  SigningKey key;
  codesign::TeamCertificate certificate;
};

struct SignOptions {
  std::string identifier;
  // nullopt: ad hoc (no certificate, no team, no signature key).
  std::optional<TeamIdentity> team;
  // Bundles only: paths (fnmatch against the path inside the bundle) left unsealed.
  std::vector<std::string> omitPatterns;
};

// Signs the file or bundle at `path` (a host path; its last component is not followed).
// A file gets the signature appended (an earlier signature is replaced): the result is
// written to a temporary file beside it and renamed over the original, keeping its
// mode, so a running copy of the old file is never changed. A bundle gets
// Contents/_CodeSignature/CodeSignature, replaced atomically. Throws SigningError.
void signCode(const std::string& path, const SignOptions& options);

// What a signature states, unverified except where said, for display.
struct SignatureSummary {
  std::string format;  // "file" or "bundle"
  std::string identifier;
  std::uint32_t flags = 0;
  bool adhoc = false;
  std::optional<std::string> claimedTeam;    // from the certificate
  std::optional<std::string> claimedAnchor;  // the anchor the certificate names
  bool claimsAppleSoftware = false;          // the certificate's class is Apple's own software
  std::optional<std::string> mainExecutable;
  std::vector<std::string> omitPatterns;
  std::size_t sealedEntries = 0;
};

// nullopt when the code at `path` is unsigned; throws SigningError when it cannot be
// read or the signature is malformed.
std::optional<SignatureSummary> describeCode(const std::string& path);

}  // namespace tidewarden::platform
