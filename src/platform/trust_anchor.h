// A root of trust for code signatures: the only keys that can vouch for a team.
#pragma once

#include <string>

namespace tidewarden::platform {

// An anchor is injected into CodeSigning by the composition root (the build's
// development anchor, or the simulator's own anchors); nothing is trusted globally.
// A team certificate is trusted only when it names an injected anchor and that
// anchor's key verifies the certificate's signature.
struct TrustAnchor {
  std::string name;       // e.g. "apple" or "tidewarden-development"
  std::string publicKey;  // raw Ed25519 public key bytes (32)
};

}  // namespace tidewarden::platform
