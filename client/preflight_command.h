// tidewarden-ctl preflight: asks the helper whether there is working space for an installer preparation.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

using WriteOutput = std::function<void(std::string_view bytes)>;

// `preflight --package-bytes N [--already-downloaded] [--json]`: prints the helper's
// message with the budget and the free space, or with --json the raw reply. Returns 0
// when the preparation is allowed and 4 when the helper said no. Throws CommandFailure.
int runPreflight(std::span<const std::string> arguments, const HelperCall& call, const WriteOutput& write);

}  // namespace tidewarden::ctl
