// Running one command of the creation pipeline with its own bounded output capture.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::platform {
class ChildProcess;
class Clock;
class ProcessLauncher;
struct ExecutableIdentity;
}  // namespace tidewarden::platform

namespace tidewarden::rescue {

inline constexpr std::size_t kRescueCommandCaptureLimitBytes = 2097152;
// How long the reader may take to finish once the command has exited.
inline constexpr double kRescueCommandReaderWaitSeconds = 5;
// A command past its time limit is asked to stop, then killed after this long.
inline constexpr double kRescueCommandTerminationGraceSeconds = 1;
// How long a killed command is waited for; one the kernel still holds is reaped in the background.
inline constexpr double kRescueCommandKillWaitSeconds = 3;
inline constexpr const char* kCommandStartFailedPrefix = "Could not start the scoped command: ";
inline constexpr const char* kCommandOutputIncompleteMessage =
    "The command ended, but its output could not be completely inspected. No subsequent disk operation was started.";

// What the reader collected: `complete` only once end of file came within the limit.
struct RescueCommandCapture {
  std::mutex lock;
  std::string data;
  bool complete = false;
};

struct RescueCommandOutcome {
  int waitStatus = 0;  // as from waitpid; meaningless when `timedOut`
  std::string output;  // standard output and standard error, in the order written
  bool timedOut = false;  // stopped at its time limit (its output is then not inspected)
};

struct RescueCommandHooks {
  // Called once the process runs, before its output is read: the caller records it
  // (and may terminate it at once when a cancel came first).
  std::function<void(const std::shared_ptr<platform::ChildProcess>&)> started;
  // Every chunk as it is read, on the reader's thread, also beyond the capture limit.
  std::function<void(std::string_view)> output;
  // Called before the launch: returns the lock that the launch and `started` run under
  // (the caller decides there, and may throw, whether the command may still start).
  std::function<std::unique_lock<std::mutex>()> admit;
  // A limit in seconds of `clock`'s uptime; without one the command runs until it ends.
  std::optional<double> timeLimitSeconds;
  platform::Clock* clock = nullptr;
  // The file that must be the one started (device, inode, size, change time).
  const platform::ExecutableIdentity* executableIdentity = nullptr;
};

// Runs `executable` with `arguments` and PATH=/usr/bin:/bin:/usr/sbin:/sbin as its whole
// environment, its output drained by a reader on the global background queue. Waits for
// the process (with a time limit: until then; past it the process is terminated, killed
// after 1 s, waited for 3 s more and otherwise left to a background reaper, and the
// outcome is `timedOut`), then at most 5 s for the reader. Throws
// RescueDriveError::commandFailed with kCommandStartFailedPrefix + the system's text
// when it cannot start, and kCommandOutputIncompleteMessage when the reader did not
// finish or the output passed the limit.
RescueCommandOutcome runRescueCommand(platform::ProcessLauncher& launcher, const std::string& executable,
                                      const std::vector<std::string>& arguments, const RescueCommandHooks& hooks);

}  // namespace tidewarden::rescue
