// The one way the installer features run a system tool: fixed environment, bounded capture, time limit, free-space watch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/system_tools.h"

namespace tidewarden::storage {

// What one run produced. Callers act on the output only when `complete` is true;
// anything else is "unknown", never "nothing found".
struct ScopedCommandResult {
  // The exit status, or the number of the signal that ended the child; -1 when it
  // could not be started.
  std::int32_t status;
  // Standard output as read, at most kScopedCaptureLimitBytes.
  std::string standardOutput;
  // Standard error as UTF-8 text (ill-formed bytes shown as U+FFFD), followed by the
  // runner's note when it stopped the child; the launch error's text when the child
  // could not be started.
  std::string standardError;
  // Both streams were read to their end within the limits, and the child ended by
  // itself before the runner had to stop it.
  bool complete;
};

// Stops the command once the data volume's free space is at or below `reserveBytes`
// (or cannot be measured).
struct FreeSpaceWatch {
  std::int64_t reserveBytes;
};

// The reserve that a package extraction must leave free.
inline constexpr std::int64_t kPreparationReserveBytes = 2147483648;

// The most kept of each output stream; past it the run is not complete.
inline constexpr std::size_t kScopedCaptureLimitBytes = 2097152;
// Between two looks at the deadline and the free space, at most this long.
inline constexpr double kScopedPollIntervalSeconds = 0.1;
// How long a child has to end after SIGTERM before it is sent SIGKILL.
inline constexpr double kScopedTerminationGraceSeconds = 1.0;
// How long the outputs may stay open after the child ended (something it left
// running may hold them); then the child's process group is killed.
inline constexpr double kScopedReaderWaitSeconds = 3.0;

// The notes appended to standard error when the runner stopped the child.
inline constexpr const char* kScopedReserveNote =
    " Available storage fell below the preparation reserve; the command was stopped.";
inline constexpr const char* kScopedTimeLimitNote = " The command exceeded its time limit.";

// Runs `command` through the platform's launcher (executable resolved beneath the
// root, no shell) with exactly toolEnvironment(), the null device as standard input
// and both outputs drained at once, so a chatty child never blocks. Blocks the caller
// for at most the time limit plus about 4.1 s (grace, reader wait). Past the time
// limit, or when the watched free space reaches the reserve, the child gets SIGTERM
// and, one second later, SIGKILL. Never throws: every failure is in the result.
ScopedCommandResult runScopedCommand(const platform::Platform& platform, const platform::ToolCommand& command,
                                     std::optional<FreeSpaceWatch> watch = std::nullopt);

}  // namespace tidewarden::storage
