// The pipeline's command runner: fixed environment, a reader on the background queue, the 2 MiB cap and the 5 s reader wait.
#include "rescue/rescue_command_capture.h"

#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <exception>

#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/global_queue.h"
#include "platform/process_launcher.h"
#include "rescue/rescue_drive_error.h"

namespace tidewarden::rescue {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the reader looks whether it was told to stop while no output arrives.
constexpr std::chrono::milliseconds kReaderWake{100};
constexpr std::size_t kReadChunkBytes = 65536;
// The longest wait between two looks at the clock while a limited command runs.
constexpr double kEndPollSeconds = 0.05;

// Shared by the pipeline and the reader, so that a reader that outlives its wait
// still has what it writes to.
struct ReaderState {
  RescueCommandCapture capture;
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool stop = false;
};

void readAll(const std::shared_ptr<ReaderState>& state, const platform::UniqueFd& fd,
             const std::function<void(std::string_view)>& output) {
  for (;;) {
    {
      std::lock_guard guard(state->mutex);
      if (state->stop) return;
    }
    if (!platform::waitReadable(fd.get(), SteadyClock::now() + kReaderWake)) continue;
    std::string chunk;
    const ssize_t count = platform::readSome(fd.get(), chunk, kReadChunkBytes);
    if (count < 0) return;
    {
      std::lock_guard guard(state->capture.lock);
      if (count == 0) {
        state->capture.complete = state->capture.data.size() <= kRescueCommandCaptureLimitBytes;
        return;
      }
      if (state->capture.data.size() + chunk.size() <= kRescueCommandCaptureLimitBytes) {
        state->capture.data += chunk;
      } else {
        state->capture.data.resize(kRescueCommandCaptureLimitBytes + 1);  // marks the cap as passed
      }
    }
    // Under the state's mutex: once the runner has set `stop` (and may have returned,
    // taking what `output` refers to with it), no call is running or can begin.
    std::lock_guard guard(state->mutex);
    if (state->stop) return;
    if (output) output(chunk);
  }
}

// Waits until `child` ends or `seconds` of `clock`'s uptime pass; whether it ended.
bool waitUntilEnded(platform::ChildProcess& child, platform::Clock& clock, double seconds) {
  platform::OutputCapture unused(0);
  platform::OutputCapture unusedError(0);
  const double deadline = clock.uptime() + seconds;
  while (!child.captureUntilExit(kEndPollSeconds, unused, unusedError)) {
    if (clock.uptime() >= deadline) return false;
  }
  return true;
}

}  // namespace

RescueCommandOutcome runRescueCommand(platform::ProcessLauncher& launcher, const std::string& executable,
                                      const std::vector<std::string>& arguments, const RescueCommandHooks& hooks) {
  platform::LaunchRequest request;
  request.executable = executable;
  request.arguments = arguments;
  request.environment = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
  request.standardErrorToOutput = true;
  if (hooks.executableIdentity != nullptr) request.expectedIdentity = *hooks.executableIdentity;
  std::shared_ptr<platform::ChildProcess> child;
  auto state = std::make_shared<ReaderState>();
  {
    std::unique_lock<std::mutex> admitted;
    if (hooks.admit) admitted = hooks.admit();
    try {
      child = launcher.launch(request);
    } catch (const std::exception& error) {
      const std::string text = error.what();
      const std::size_t colon = text.find(": ");
      throw RescueDriveError::commandFailed(kCommandStartFailedPrefix +
                                            (colon == std::string::npos ? text : text.substr(colon + 2)));
    }
    auto fd = std::make_shared<platform::UniqueFd>(child->takeStandardOutput());
    platform::GlobalQueue::background().async([state, fd, output = hooks.output] {
      readAll(state, *fd, output);
      std::lock_guard guard(state->mutex);
      state->finished = true;
      state->done.notify_all();
    });
    if (hooks.started) hooks.started(child);
  }

  RescueCommandOutcome outcome;
  if (hooks.timeLimitSeconds && hooks.clock != nullptr &&
      !waitUntilEnded(*child, *hooks.clock, *hooks.timeLimitSeconds)) {
    outcome.timedOut = true;
    child->signal(SIGTERM);
    if (!waitUntilEnded(*child, *hooks.clock, kRescueCommandTerminationGraceSeconds)) {
      child->signalGroup(SIGKILL);
      child->signal(SIGKILL);
    }
    {
      std::lock_guard guard(state->mutex);
      state->stop = true;
    }
    if (waitUntilEnded(*child, *hooks.clock, kRescueCommandKillWaitSeconds)) {
      outcome.waitStatus = child->wait();
    } else {
      platform::reapInBackground(child);
    }
    return outcome;
  }
  outcome.waitStatus = child->wait();
  bool finished = false;
  {
    std::unique_lock guard(state->mutex);
    finished = state->done.wait_for(guard, std::chrono::duration<double>(kRescueCommandReaderWaitSeconds),
                                    [&] { return state->finished; });
    state->stop = true;
  }
  std::lock_guard guard(state->capture.lock);
  if (!finished || !state->capture.complete) throw RescueDriveError::commandFailed(kCommandOutputIncompleteMessage);
  outcome.output = state->capture.data;
  return outcome;
}

}  // namespace tidewarden::rescue
