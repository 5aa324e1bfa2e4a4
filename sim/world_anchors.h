// The simulator's own trust anchors: made once with a world, kept in DIR/anchors.
#pragma once

#include <string>
#include <vector>

#include "platform/trust_anchor.h"
#include "platform/unique_fd.h"

namespace tidewarden::sim {

// Generates a fresh Ed25519 anchor key for each name and stores it in the anchors
// folder of the world directory `dir` (named `directory` in messages): NAME.key with
// the private key (mode 0600, never overwritten) and NAME.pub with the public key, in
// the files the code-signing tool reads. Throws WorldError.
void createWorldAnchors(const platform::UniqueFd& dir, const std::string& directory,
                        const std::vector<std::string>& names);

// The simulated signers under the anchor named apple: Apple's own software, and a
// registered developer.
inline constexpr const char* kAppleTeam = "APPLESIM01";
inline constexpr const char* kDeveloperTeam = "DEVSIM0001";

// Signs the file or bundle at the host path `host` with `identifier`, as `signer` says:
// "apple" (team kAppleTeam, class Apple's own software) or "developer" (kDeveloperTeam,
// a registered developer), each with a fresh key certified by the apple anchor of the
// world in `directory`; "adhoc" (no team); "unsigned" leaves it alone. Bundle paths
// matching `omit` stay unsealed. Throws WorldError or platform::SigningError.
void signAsWorldSigner(const std::string& directory, const std::string& host, const std::string& signer,
                       const std::string& identifier, const std::vector<std::string>& omit = {});

// Reads the public halves back as trust anchors, in the order of `names`. Throws
// WorldError when one is missing or malformed.
std::vector<platform::TrustAnchor> readWorldAnchors(const platform::UniqueFd& dir, const std::string& directory,
                                                    const std::vector<std::string>& names);

}  // namespace tidewarden::sim
