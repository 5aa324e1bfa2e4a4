// The command runner of quarantine: bounded time, one output pipe drained while the tool runs.
#include "quarantine/quarantine_tool_runner.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "platform/utf8.h"

namespace tidewarden::quarantine {
namespace {

constexpr double kTerminateGraceSeconds = std::chrono::duration<double>(kToolTerminateGrace).count();
constexpr double kKillWaitSeconds = std::chrono::duration<double>(kToolKillWait).count();

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return -WTERMSIG(waitStatus);
  return -1;
}

}  // namespace

QuarantineToolResult runQuarantineTool(platform::ProcessLauncher& launcher, const platform::ToolCommand& command) {
  platform::LaunchRequest request;
  request.executable = command.executable;
  request.arguments = command.arguments;
  request.environment = platform::toolEnvironment();
  request.standardErrorToOutput = true;
  std::unique_ptr<platform::ChildProcess> child;
  try {
    child = launcher.launch(request);
  } catch (const platform::LaunchError& error) {
    return {std::nullopt, error.what()};
  }

  // Both streams arrive through the one output pipe; there is no error pipe to read.
  platform::OutputCapture output(kMaxToolOutputBytes);
  platform::OutputCapture unused(0);
  QuarantineToolResult result;
  const double limit = command.timeLimitSeconds.value_or(kUnlimitedToolSeconds);
  int waitStatus = 0;
  if (child->captureUntilExit(limit, output, unused)) {
    waitStatus = child->wait();
  } else {
    // Past its limit: the tool and anything it started are asked to stop, then killed.
    result.timedOut = true;
    child->signalGroup(SIGTERM);
    if (child->captureUntilExit(kTerminateGraceSeconds, output, unused)) {
      waitStatus = child->wait();
    } else {
      child->signalGroup(SIGKILL);
      if (!child->captureUntilExit(kKillWaitSeconds, output, unused)) {
        // Not even SIGKILL ended it yet (it is stuck in the kernel): whoever waits for
        // it must not be this caller.
        platform::reapInBackground(std::move(child));
        result.status = -SIGKILL;
        result.output = platform::decodeUtf8Lossy(output.bytes);
        return result;
      }
      child->wait();
      waitStatus = W_EXITCODE(0, SIGKILL);
    }
  }
  result.status = statusOf(waitStatus);
  // What is still in the pipe; a descendant that kept it open gets no longer than the
  // grace period to let go of it.
  child->captureUntilFinished(kTerminateGraceSeconds, output, unused);
  result.output = platform::decodeUtf8Lossy(output.bytes);
  result.complete = !result.timedOut && WIFEXITED(waitStatus) && output.whole();
  return result;
}

}  // namespace tidewarden::quarantine
