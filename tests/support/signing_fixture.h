// Test signing authority: in-memory anchors and teams that sign files and bundles for any suite.
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

// Makes anchors and teams in memory and signs with them. The default anchor
// kTestAnchor and the anchor "apple" exist from the start and are trusted; a team used
// without addTeam() is created under kTestAnchor. Signing failures throw SigningError,
// which fails the calling test with its message.
class TestSigningAuthority {
 public:
  static constexpr const char* kTestAnchor = "tidewarden-test";
  static constexpr const char* kAppleAnchor = "apple";

  TestSigningAuthority();

  // A new anchor. An untrusted one is left out of anchors(): its teams sign validly
  // but carry no team identifier for a verifier built from anchors().
  void addAnchor(const std::string& name, bool trusted = true);
  // A team whose certificate the named anchor issues.
  void addTeam(const std::string& team, const std::string& anchorName = kTestAnchor);

  // The trusted anchors, for CodeSigningOptions.
  std::vector<platform::TrustAnchor> anchors() const;
  platform::CodeSigningOptions options(const platform::UniqueFd* root = nullptr) const;

  // Signs a file (or a bundle directory) in place; `team` kAdhoc signs ad hoc.
  void signFile(const std::string& path, const std::string& identifier, const std::optional<std::string>& team);
  // Signs a bundle directory, leaving paths that match `omitPatterns` unsealed.
  void signBundle(const std::string& path, const std::string& identifier, const std::optional<std::string>& team,
                  const std::vector<std::string>& omitPatterns = {});
  // Copies `source` to `destination` (mode 0755) and signs the copy; returns `destination`.
  std::string signedCopy(const std::string& source, const std::string& destination, const std::string& identifier,
                         const std::optional<std::string>& team);

  const platform::SigningKey& anchorKey(const std::string& name) const;
  const platform::TeamIdentity& team(const std::string& name);

 private:
  std::map<std::string, platform::SigningKey> anchorKeys_;
  std::vector<std::string> trusted_;
  std::map<std::string, platform::TeamIdentity> teams_;
};

// Small file helpers for signing tests (abort the test program on I/O failure).
std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes, mode_t mode = 0644);
void copyFileBytes(const std::string& source, const std::string& destination, mode_t mode = 0755);

}  // namespace tidewarden::testing
