// tidewarden-ctl quarantine and restore: a launch daemon into the helper's quarantine and back.
#pragma once

#include <span>
#include <string>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

// quarantine --label L --plist PATH [--json]: 0 when quarantined, 4 when refused.
int runQuarantineCommand(const HelperCall& call, std::span<const std::string> arguments);
// restore ID [--json]: 0 when restored, 4 when refused.
int runRestoreCommand(const HelperCall& call, std::span<const std::string> arguments);

}  // namespace tidewarden::ctl
