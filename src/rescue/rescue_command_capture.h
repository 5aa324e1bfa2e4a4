// Running one command of the creation pipeline with its own bounded output capture.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::platform {
class ChildProcess;
class ProcessLauncher;
}  // namespace tidewarden::platform

namespace tidewarden::rescue {

inline constexpr std::size_t kRescueCommandCaptureLimitBytes = 2097152;
// How long the reader may take to finish once the command has exited.
inline constexpr double kRescueCommandReaderWaitSeconds = 5;
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
  int waitStatus = 0;  // as from waitpid
  std::string output;  // standard output and standard error, in the order written
};

struct RescueCommandHooks {
  // Called once the process runs, before its output is read: the caller records it
  // (and may terminate it at once when a cancel came first).
  std::function<void(const std::shared_ptr<platform::ChildProcess>&)> started;
  // Every chunk as it is read, on the reader's thread, also beyond the capture limit.
  std::function<void(std::string_view)> output;
};

// Runs `executable` with `arguments` and PATH=/usr/bin:/bin:/usr/sbin:/sbin as its whole
// environment, without a time limit, its output drained by a reader on the global
// background queue. Waits for the process, then at most 5 s for the reader. Throws
// RescueDriveError::commandFailed with kCommandStartFailedPrefix + the system's text
// when it cannot start, and kCommandOutputIncompleteMessage when the reader did not
// finish or the output passed the limit.
RescueCommandOutcome runRescueCommand(platform::ProcessLauncher& launcher, const std::string& executable,
                                      const std::vector<std::string>& arguments, const RescueCommandHooks& hooks);

}  // namespace tidewarden::rescue
