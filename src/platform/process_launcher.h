// Starting system tools as child processes: checked executable, fixed environment, pipes, always reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tidewarden::platform {

struct LaunchRequest {
  std::string executable;                     // absolute logical path, resolved under the root
  std::vector<std::string> arguments;         // argv[1..]; argv[0] is `executable`
  std::vector<std::string> environment;       // the complete environment, "KEY=value" entries
  std::optional<std::string> standardInput;   // delivered, then end of file; nullopt = /dev/null
  // Standard error goes into the standard output pipe (one stream, in the order
  // written); the child then has no separate standard error pipe.
  bool standardErrorToOutput = false;
};

// A refusal to start: what() is "Cannot start <executable>: <system error text>".
class LaunchError : public std::runtime_error {
 public:
  LaunchError(const std::string& executable, int err);
  int error() const { return error_; }

 private:
  int error_;
};

// One started child. The child leads its own process group. Its standard output and
// standard error arrive through pipes whose read ends belong to this object (or to
// whoever takes them); the caller must drain them, or a chatty child blocks.
//
// The child is reaped exactly once, by this object. If it has not been reaped when
// the object is destroyed, its process group is sent SIGKILL and the child is reaped
// then, so no zombie and no abandoned tool outlives its owner. Nothing else in the
// process may reap children (no waitpid(-1), no SIG_IGN for SIGCHLD); a child reaped
// behind this object's back is a broken invariant and aborts.
class ChildProcess {
 public:
  ChildProcess(pid_t pid, UniqueFd standardOutput, UniqueFd standardError);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  int standardOutput() const { return standardOutput_.get(); }
  int standardError() const { return standardError_.get(); }
  UniqueFd takeStandardOutput() { return std::move(standardOutput_); }
  UniqueFd takeStandardError() { return std::move(standardError_); }

  // Sends `sig` to the child (signal) or to its whole process group (signalGroup).
  // Returns false once the child has been reaped: its pid may then belong to an
  // unrelated process, so nothing is sent. Safe to call while another thread waits.
  bool signal(int sig);
  bool signalGroup(int sig);

  // The wait status (as from waitpid) once the child has ended, without blocking.
  std::optional<int> tryWait();

  // Blocks until the child has ended, `readable` (when not -1) has data or has reached
  // its end, or `deadline` passes, whichever comes first. The end of the child wakes
  // the caller at once (through a pidfd), not at the next tick of a poll. Reaps
  // nothing: `exited` means tryWait() now returns the status. Without pidfd support
  // the child is polled every kExitPollInterval.
  enum class Event { exited, readable, timedOut };
  static constexpr std::chrono::milliseconds kExitPollInterval{25};
  Event awaitEvent(std::chrono::steady_clock::time_point deadline, int readable = -1);
  // Blocks until the child ends; returns its wait status. Repeated calls return the
  // same status.
  int wait();

 private:
  bool sendLocked(pid_t target, int sig);
  void reapLocked(int options);

  const pid_t pid_;
  UniqueFd processFd_;  // a pidfd of the child, opened on first use; invalid without support
  bool processFdTried_ = false;
  UniqueFd standardOutput_;
  UniqueFd standardError_;
  std::mutex mutex_;
  std::optional<int> status_;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher();
  // Starts the child or throws LaunchError; never returns null.
  virtual std::unique_ptr<ChildProcess> launch(const LaunchRequest& request) = 0;
};

// A launcher that resolves every executable beneath `root` (the descriptor standing
// for "/"; it must outlive the launcher). The executable is opened with no symbolic
// link followed anywhere on its path, must be a regular file with an execute bit, and
// exactly that opened file is what runs. The child gets exactly the request's
// environment, its own process group, default signal dispositions and an empty
// signal mask, and no descriptor besides 0, 1, 2 and, at 3, a path-only (O_PATH)
// descriptor of its own executable (which lets the interpreter of a "#!" script open it).
// argv[0] is the logical path. For a "#!" script the kernel replaces argv[0] with the
// interpreter and passes the script as "/proc/self/fd/3", so a script sees that in $0
// and must learn anything else from its arguments.
// Failures throw LaunchError with the system's reason: ELOOP for a symbolic link on
// the path, ENOENT, EACCES for something that is not an executable regular file,
// EINVAL for a request string containing NUL or an environment entry without '='.
std::unique_ptr<ProcessLauncher> makeProcessLauncher(const UniqueFd& root);

}  // namespace tidewarden::platform
