// The read-only diskutil queries: the allowlist, the child with its own capture and time limit, the parse.
#include "rescue/rescue_disk_query.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/process_launcher.h"
#include "platform/system_tools.h"
#include "rescue/rescue_destination_error.h"

namespace tidewarden::rescue {
namespace {

// Only PATH: these queries are the Rescue Drive's own, not the installer runner's.
const std::vector<std::string>& queryEnvironment() {
  static const std::vector<std::string> environment{"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
  return environment;
}

std::string failureText(const std::vector<std::string>& arguments, int status, bool timedOut) {
  std::string text = "diskutil";
  for (const std::string& argument : arguments) text += " " + argument;
  return text + " failed or returned incomplete metadata (exit " + std::to_string(status) + ", timeout " +
         (timedOut ? "true" : "false") + ")";
}

int exitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
  return -1;
}

// Reads the child's outputs until it ends or `seconds` pass, moving standard output into
// the buffer; standard error is drained and dropped.
bool readUntilExit(platform::ChildProcess& child, double seconds, platform::OutputCapture& output,
                   platform::OutputCapture& discarded, RescuePlistBuffer& buffer) {
  const bool ended = child.captureUntilExit(seconds, output, discarded);
  discarded.bytes.clear();
  std::lock_guard lock(buffer.lock);
  buffer.bytes += output.bytes;
  output.bytes.clear();
  if (buffer.bytes.size() > kRescuePlistCaptureLimitBytes) output.overflowed = true;
  output.limit = kRescuePlistCaptureLimitBytes - std::min(buffer.bytes.size(), kRescuePlistCaptureLimitBytes);
  return ended;
}

}  // namespace

bool isAllowedDiskQuery(const std::vector<std::string>& arguments) {
  using Arguments = std::vector<std::string>;
  if (arguments == Arguments{"list", "-plist", "external", "physical"}) return true;
  if (arguments == Arguments{"apfs", "list", "-plist"}) return true;
  if (arguments.size() != 3 || arguments[0] != "info" || arguments[1] != "-plist") return false;
  const std::string& subject = arguments[2];
  return subject == "/" || subject.starts_with("/dev/disk") || subject.starts_with("/Volumes/");
}

platform::PropertyList readOnlyDiskQuery(platform::ProcessLauncher& launcher, platform::Clock& clock,
                                         const std::vector<std::string>& arguments) {
  if (!isAllowedDiskQuery(arguments)) throw RescueDestinationError::refused(kUnsupportedDiskQueryMessage);
  std::unique_ptr<platform::ChildProcess> child;
  try {
    child = launcher.launch({std::string(platform::tools::kDiskutil), arguments, queryEnvironment(), std::nullopt});
  } catch (const std::exception&) {
    throw RescueDestinationError::refused(failureText(arguments, -1, false));
  }

  RescuePlistBuffer buffer;
  platform::OutputCapture output(kRescuePlistCaptureLimitBytes);
  platform::OutputCapture discarded(kRescuePlistCaptureLimitBytes);
  const double deadline = clock.uptime() + kDiskQueryTimeLimitSeconds;
  bool timedOut = false;
  while (!readUntilExit(*child, kDiskQueryPollSeconds, output, discarded, buffer)) {
    if (clock.uptime() >= deadline) {
      timedOut = true;
      break;
    }
  }
  if (timedOut) {
    child->signal(SIGTERM);
    if (!readUntilExit(*child, kDiskQueryTerminationGraceSeconds, output, discarded, buffer)) {
      child->signalGroup(SIGKILL);
    }
  }
  // Whatever the child left holding its output gets the grace period, then its group is killed.
  const bool finished = child->captureUntilFinished(kDiskQueryTerminationGraceSeconds, output, discarded);
  if (!finished) child->signalGroup(SIGKILL);
  // The child itself: one that a kill did not end within its wait (stuck in the kernel on
  // a failing stick) is left to a background reaper, and the query fails.
  if (!child->captureUntilExit(0, output, discarded)) {
    child->signalGroup(SIGKILL);
    child->signal(SIGKILL);
    if (!child->captureUntilExit(kDiskQueryKillWaitSeconds, output, discarded)) {
      platform::reapInBackground(std::move(child));
      throw RescueDestinationError::refused(failureText(arguments, -1, timedOut));
    }
  }
  const int status = exitStatus(child->wait());
  {
    std::lock_guard lock(buffer.lock);
    buffer.bytes += output.bytes;
    buffer.complete = finished && output.whole() && buffer.bytes.size() <= kRescuePlistCaptureLimitBytes;
  }
  if (timedOut || status != 0 || !buffer.complete) {
    throw RescueDestinationError::refused(failureText(arguments, status, timedOut));
  }
  std::optional<platform::PropertyList> list = platform::PropertyList::parse(buffer.bytes, kRescuePlistCaptureLimitBytes);
  if (!list || list->root().type() != platform::PlistType::dictionary) {
    throw RescueDestinationError::refused(failureText(arguments, status, false));
  }
  return std::move(*list);
}

DiskQuery platformDiskQuery(const platform::Platform& platform) {
  return [&platform](const std::vector<std::string>& arguments) {
    return readOnlyDiskQuery(platform.launcher, platform.clock, arguments);
  };
}

}  // namespace tidewarden::rescue
