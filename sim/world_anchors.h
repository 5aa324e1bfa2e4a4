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

// Reads the public halves back as trust anchors, in the order of `names`. Throws
// WorldError when one is missing or malformed.
std::vector<platform::TrustAnchor> readWorldAnchors(const platform::UniqueFd& dir, const std::string& directory,
                                                    const std::vector<std::string>& names);

}  // namespace tidewarden::sim
