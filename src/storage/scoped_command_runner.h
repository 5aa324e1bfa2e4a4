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
  // The exit status (0 to 255) of a child that exited; kScopedStatusSignalBase plus
  // the signal's number for a child that a signal ended (never an exit status, so
  // no caller can take "killed by SIGHUP" for "exit 1"); kScopedStatusNotStarted when
  // it could not be started; kScopedStatusNotEnded when it had not ended when the
  // runner gave up waiting for it.
  std::int32_t status;
  // Standard output as read, at most kScopedCaptureLimitBytes.
  std::string standardOutput;
  // Standard error as UTF-8 text (ill-formed bytes shown as U+FFFD), followed by the
  // runner's note when it stopped the child; the launch error's text when the child
  // could not be started.
  std::string standardError;
  // Both streams were read to their end within the limits, and the child exited by
  // itself (not ended by a signal, whoever sent it) before the runner had to stop it.
  bool complete;
  // The runner's own note (also at the end of standardError), empty when it stopped
  // nothing: kept apart so that a message built from a long error output can still
  // say why the tool was stopped.
  std::string note = {};
};

inline constexpr std::int32_t kScopedStatusNotStarted = -1;
inline constexpr std::int32_t kScopedStatusNotEnded = -2;
inline constexpr std::int32_t kScopedStatusSignalBase = 256;

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
// How long a child may take to end after SIGKILL. One that has not ended by then is
// held in the kernel; it is left to a background waiter rather than blocking the
// engine's queue, and the run is not complete.
inline constexpr double kScopedKillWaitSeconds = 3.0;

// The notes appended to standard error when the runner stopped the child.
inline constexpr const char* kScopedReserveNote =
    " Available storage fell below the preparation reserve; the command was stopped.";
inline constexpr const char* kScopedTimeLimitNote = " The command exceeded its time limit.";
inline constexpr const char* kScopedNotEndedNote = " The command did not end after it was killed.";

// Runs `command` through the platform's launcher (executable resolved beneath the
// root, no shell) with exactly toolEnvironment(), the null device as standard input
// and both outputs drained at once, so a chatty child never blocks. Blocks the caller
// for at most the time limit plus about 7.1 s (grace, wait after SIGKILL, reader
// wait). Past the time limit, or when the watched free space reaches the reserve, the
// child gets SIGTERM and, one second later, SIGKILL. Never throws: every failure is
// in the result.
ScopedCommandResult runScopedCommand(const platform::Platform& platform, const platform::ToolCommand& command,
                                     std::optional<FreeSpaceWatch> watch = std::nullopt);

}  // namespace tidewarden::storage
