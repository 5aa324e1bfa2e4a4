// The process names of `ps -axo comm=`, read only when the listing is recognisably whole.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "storage/scoped_command_runner.h"

namespace tidewarden::installers {

// Each line trimmed, its last path component, lower-cased. Nothing unless the run ended
// normally with status 0, was captured whole, and lists launchd, the process every Mac
// runs as process 1: a listing without it is not a listing of this Mac's processes, and
// reading it as "nothing running" would approve what must be blocked.
std::optional<std::vector<std::string>> readProcessNames(const storage::ScopedCommandResult& ps);

}  // namespace tidewarden::installers
