// The scoped command runner: one child, bounded capture of both outputs, stopped at its limits, always reaped.
#include "storage/scoped_command_runner.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string_view>

#include "platform/process_launcher.h"
#include "platform/utf8.h"
#include "storage/data_volume_free_space.h"

namespace tidewarden::storage {
namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsUntil(SteadyClock::time_point deadline) {
  return std::chrono::duration<double>(deadline - SteadyClock::now()).count();
}

std::int32_t terminationStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return kScopedStatusSignalBase + WTERMSIG(waitStatus);
  return kScopedStatusNotEnded;
}

ScopedCommandResult notStarted(const std::string& reason) {
  return ScopedCommandResult{kScopedStatusNotStarted, {}, reason, false};
}

// Why the runner stopped the child, if it did.
enum class Stop { none, timeLimit, reserve };

}  // namespace

ScopedCommandResult runScopedCommand(const platform::Platform& platform, const platform::ToolCommand& command,
                                     std::optional<FreeSpaceWatch> watch) {
  std::unique_ptr<platform::ChildProcess> child;
  try {
    child = platform.launcher.launch(
        {command.executable, command.arguments, platform::toolEnvironment(), /*standardInput=*/std::nullopt});
  } catch (const std::exception& error) {
    return notStarted(error.what());
  }

  platform::OutputCapture output(kScopedCaptureLimitBytes);
  platform::OutputCapture error(kScopedCaptureLimitBytes);
  // Real time, not the platform's clock: the limit is about a real child.
  const auto start = SteadyClock::now();
  std::optional<SteadyClock::time_point> deadline;
  if (command.timeLimitSeconds) {
    deadline = start + std::chrono::duration_cast<SteadyClock::duration>(
                           std::chrono::duration<double>(*command.timeLimitSeconds));
  }

  Stop stop = Stop::none;
  for (;;) {
    double wait = kScopedPollIntervalSeconds;
    if (deadline) {
      const double left = secondsUntil(*deadline);
      if (left <= 0) {
        stop = Stop::timeLimit;
        break;
      }
      wait = std::min(wait, left);
    }
    if (watch) {
      const std::optional<std::int64_t> free = dataVolumeFreeBytes(platform);
      if (!free || *free <= watch->reserveBytes) {
        stop = Stop::reserve;
        break;
      }
    }
    // Returns at once when the child ends, else after `wait` with the outputs drained.
    if (child->captureUntilExit(wait, output, error)) break;
  }

  if (stop != Stop::none) {
    child->signal(SIGTERM);
    if (!child->captureUntilExit(kScopedTerminationGraceSeconds, output, error)) {
      child->signal(SIGKILL);
      // SIGKILL cannot be refused, but a child held in the kernel ends only when the
      // kernel lets it: the queue waits a few seconds, not for ever.
      if (!child->captureUntilExit(kScopedKillWaitSeconds, output, error)) {
        ScopedCommandResult result{kScopedStatusNotEnded, std::move(output.bytes),
                                   platform::decodeUtf8Lossy(error.bytes), false};
        result.note = std::string(stop == Stop::reserve ? kScopedReserveNote : kScopedTimeLimitNote) +
                      kScopedNotEndedNote;
        result.standardError += result.note;
        platform::reapInBackground(std::move(child));
        return result;
      }
    }
  }

  // The child has ended but is not reaped yet, so its process group is still its own:
  // whatever it left holding the outputs after the reader wait is killed with it.
  const bool readersFinished = child->captureUntilFinished(kScopedReaderWaitSeconds, output, error);
  if (!readersFinished) child->signalGroup(SIGKILL);
  const int waitStatus = child->wait();

  ScopedCommandResult result{terminationStatus(waitStatus), std::move(output.bytes),
                             platform::decodeUtf8Lossy(error.bytes), false};
  if (stop == Stop::reserve) result.note = kScopedReserveNote;
  if (stop == Stop::timeLimit) result.note = kScopedTimeLimitNote;
  result.standardError += result.note;
  // A signal ended it (whoever sent it): its output stops wherever the signal caught
  // it, so an empty answer then says nothing about what is there.
  result.complete = readersFinished && output.whole() && error.whole() && stop == Stop::none &&
                    WIFEXITED(waitStatus);
  return result;
}

}  // namespace tidewarden::storage
