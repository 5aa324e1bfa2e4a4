// Test signing authority: in-memory anchors and teams that sign files and bundles, and a validity check.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/code_signer.h"
#include "platform/code_signing.h"

namespace tidewarden::testing {

// Pass as the team to sign ad hoc (no certificate, no team).
inline const std::optional<std::string> kAdhoc = std::nullopt;

// Makes anchors and teams in memory and signs with them. The anchors kTestAnchor and
// "apple" exist from the start and are trusted; a team used without addTeam() is created
// under kTestAnchor. Signing failures throw SigningError.
class TestSigningAuthority {
 public:
  static constexpr const char* kTestAnchor = "tidewarden-test";
  static constexpr const char* kAppleAnchor = "apple";

  TestSigningAuthority() {
    addAnchor(kTestAnchor);
    addAnchor(kAppleAnchor);
  }

  // An untrusted anchor is left out of options(): its teams sign validly but carry no
  // team identifier for a verifier built from options().
  void addAnchor(const std::string& name, bool trusted = true);
  // `certifies` nullopt: a certificate from before classes were stated ("TWCERT01").
  void addTeam(const std::string& team, const std::string& anchorName = kTestAnchor,
               std::optional<platform::codesign::CertificateClass> certifies =
                   platform::codesign::CertificateClass::developer);
  const platform::TeamIdentity& team(const std::string& name);
  platform::CodeSigningOptions options(const platform::UniqueFd* root = nullptr) const;

  // Signs a file or bundle directory in place (`team` kAdhoc signs ad hoc), leaving
  // bundle paths that match `omitPatterns` unsealed.
  void sign(const std::string& path, const std::string& identifier, const std::optional<std::string>& team,
            const std::vector<std::string>& omitPatterns = {});
  // Copies `source` to `destination` (mode 0755) and signs the copy; returns `destination`.
  std::string signedCopy(const std::string& source, const std::string& destination, const std::string& identifier,
                         const std::optional<std::string>& team);

  // Static validity of `path` under options(), against `requirement` unless empty. A path
  // that cannot be opened or a requirement that does not parse fails the calling test.
  platform::OSStatus check(const std::string& path, const std::string& requirement = {}, std::uint32_t flags = 0,
                           std::string* description = nullptr) const;
  std::optional<platform::SigningInformation> information(
      const std::string& path, std::uint32_t flags = platform::kSecCSSigningInformation) const;

 private:
  std::map<std::string, platform::SigningKey> anchorKeys_;
  std::vector<std::string> trusted_;
  std::map<std::string, platform::TeamIdentity> teams_;
};

// A copy of `program` grown with a hole to `size` bytes and signed for that size as
// signCode signs (ad hoc without a team), except that the digest is made up: computing
// it means reading every byte, which is just what the helper must not do either.
std::string sparseSignedCopy(const std::string& program, const std::string& destination, std::uint64_t size,
                             const std::string& identifier, const std::optional<platform::TeamIdentity>& team);

// What signCode refuses with (the SigningError's text), or "(signed)" when it signs.
std::string signingRefusal(const std::string& path, const platform::SignOptions& options);

// Small file helpers for signing tests: they follow links, so use them on the test's own
// files only, and abort the test program on I/O failure.
std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes, mode_t mode = 0644);

}  // namespace tidewarden::testing
