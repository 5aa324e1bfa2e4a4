// tidewarden-ctl materialize: turns a saved InstallAssistant.pkg into a verified installer in /Applications.
#pragma once

#include <span>
#include <string>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

// `materialize PATH --version V --build B [--json]`: prints the phases as the helper's
// reply shows them (each one passed, the one reached marked failed), the message, the
// installer's path and payload identity when present, and the cleanup summary; with
// --json the raw reply. Returns 0 on success and 4 when the helper refused. Throws
// CommandFailure.
int runMaterializeCommand(const HelperCall& call, std::span<const std::string> arguments);

}  // namespace tidewarden::ctl
