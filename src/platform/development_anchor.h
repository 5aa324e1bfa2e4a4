// The development trust anchor that the build generates and embeds.
#pragma once

#include <vector>

#include "platform/trust_anchor.h"

namespace tidewarden::platform {

// Defined by a source file that the build writes with `tidewarden-codesign
// embed-anchor` (library tidewarden_dev_anchor). It lists the one anchor that signed
// the development team of this build; the helper trusts exactly these anchors.
std::vector<TrustAnchor> developmentTrustAnchors();

}  // namespace tidewarden::platform
