// How a materialization step words a system tool run that did not end well.
#pragma once

#include <string>

#include "platform/system_tools.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::materialize {

// "<tool> <first argument> did not finish successfully (exit <status>)." ("ended by
// SIGKILL, signal 9" for a signal, "exit 0, output incomplete" for cut-off output),
// then the runner's note when it stopped the tool for time or space, then what the
// tool wrote on standard error (trimmed, at most a few hundred bytes).
std::string toolFailureText(const platform::ToolCommand& command, const storage::ScopedCommandResult& result);

// True when the run may be believed: complete and exit status 0.
inline bool finishedSuccessfully(const storage::ScopedCommandResult& result) {
  return result.complete && result.status == 0;
}

}  // namespace tidewarden::materialize
