// The command runner of quarantine: one system tool, one shared output pipe, a time limit, terminate then kill.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/process_launcher.h"
#include "platform/system_tools.h"

namespace tidewarden::quarantine {

struct QuarantineToolResult {
  // The tool's exit status; minus the signal number when a signal ended it (-9 when it
  // had to be killed at its limit); nothing when it could not be started.
  std::optional<int> status;
  // Standard output and standard error as one stream, decoded as UTF-8 with invalid
  // sequences replaced; the start error's description when it could not be started.
  std::string output;
  // The tool ended by itself with an exit status (not by a signal, not at its limit)
  // and all it wrote was read. Anything less is an unknown answer, never an empty one.
  bool complete = false;
  // It was still running at its time limit and had to be stopped.
  bool timedOut = false;
};

// A tool without a time limit of its own still ends its wait after a day.
inline constexpr double kUnlimitedToolSeconds = 86400;
// Between asking a tool past its limit to terminate and killing it.
inline constexpr std::chrono::milliseconds kToolTerminateGrace{150};
// Output kept per run; more is read and dropped so the tool never blocks on a full pipe.
inline constexpr std::size_t kMaxToolOutputBytes = 4u << 20;
// How long a tool killed with SIGKILL is waited for. One stuck in the kernel is left to a
// background waiter that reaps it whenever it ends, so the caller is never held by it.
inline constexpr std::chrono::seconds kToolKillWait{3};

// Runs `command` with exactly its arguments and toolEnvironment(), both output streams
// in one pipe that is drained while the tool runs (so a tool that writes more than a
// pipe holds is not mistaken for one that hangs). The wait wakes the moment the tool
// ends (a pidfd; every few milliseconds where there is none). At its time limit the tool's process
// group is asked to terminate, and killed (SIGKILL) 150 ms later if still running; a
// killed tool is waited for at most kToolKillWait, then reaped in the background. Never
// throws for the tool's own failures.
QuarantineToolResult runQuarantineTool(platform::ProcessLauncher& launcher, const platform::ToolCommand& command);

}  // namespace tidewarden::quarantine
