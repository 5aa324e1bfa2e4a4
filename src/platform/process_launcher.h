// Starting system tools as child processes: checked executable, fixed environment, pipes, always reaped.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tidewarden::platform {

// What a caller checked of an executable file: the launch refuses (ESTALE) a file that
// is not this one any more. A write or a change of owner or mode changes the change time.
struct ExecutableIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;

  friend bool operator==(const ExecutableIdentity&, const ExecutableIdentity&) = default;
};

struct LaunchRequest {
  std::string executable;                     // absolute logical path, resolved under the root
  std::vector<std::string> arguments;         // argv[1..]; argv[0] is `executable`
  std::vector<std::string> environment;       // the complete environment, "KEY=value" entries
  std::optional<std::string> standardInput;   // delivered, then end of file; nullopt = /dev/null
  // Standard error goes into the standard output pipe (one stream, in the order
  // written); the child then has no separate standard error pipe.
  bool standardErrorToOutput = false;
  // When given, the opened executable must have exactly this identity.
  std::optional<ExecutableIdentity> expectedIdentity;
};

// A refusal to start: what() is "Cannot start <executable>: <system error text>".
class LaunchError : public std::runtime_error {
 public:
  LaunchError(const std::string& executable, int err);
  int error() const { return error_; }

 private:
  int error_;
};

// What was read from one of a child's output streams, kept up to `limit` bytes. A
// chunk that would take the total past the limit is dropped and marks the capture
// overflowed; reading goes on (so the child never blocks on a full pipe) but nothing
// more is kept, so `bytes` is always an unbroken prefix of what the child wrote.
struct OutputCapture {
  explicit OutputCapture(std::size_t limit) : limit(limit) {}

  std::size_t limit;
  std::string bytes;
  bool overflowed = false;
  bool failed = false;  // a read failed (or the pipe was taken): the stream was not read to its end
  bool ended = false;   // end of file was read

  // True once nothing more can arrive: end of file or a failed read.
  bool finished() const { return ended || failed; }
  // Read to its end with nothing dropped.
  bool whole() const { return ended && !failed && !overflowed; }
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
  virtual ~ChildProcess();
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
  // Virtual so that a test can stand in a child that the kernel does not end at once
  // (one stuck in an uninterruptible wait), which no real test child can be made into.
  virtual bool signal(int sig);
  virtual bool signalGroup(int sig);

  // The wait status (as from waitpid) once the child has ended, without blocking.
  std::optional<int> tryWait();
  // Blocks until the child ends; returns its wait status. Repeated calls return the
  // same status.
  int wait();

  // Runs `action` once the child has been reaped (on the reaping thread, under this
  // object's lock): the launcher forgets the child's group record there.
  void whenReaped(std::function<void()> action);

  // Reads both output pipes (in chunks of kCaptureChunkBytes, whichever has data) into
  // `output` and `error` for at most `seconds`. Returns true as soon as the child has
  // ended, false when the time ran out first; it wakes on the child's end at once (a
  // pidfd), not at the next tick. An ended child is not reaped here: until wait()
  // reaps it its pid and process group stay ours, so signalGroup() still reaches
  // whatever it left running.
  bool captureUntilExit(double seconds, OutputCapture& output, OutputCapture& error);
  // Reads both output pipes until both are finished (true) or `seconds` passed
  // (false). A pipe that something else still holds open never finishes; the time
  // bounds the wait.
  bool captureUntilFinished(double seconds, OutputCapture& output, OutputCapture& error);

  static constexpr std::size_t kCaptureChunkBytes = 8192;

 private:
  bool sendLocked(pid_t target, int sig);
  void reapLocked(int options);
  bool hasEnded();
  bool capture(double seconds, bool untilExit, OutputCapture& output, OutputCapture& error);

  const pid_t pid_;
  UniqueFd standardOutput_;
  UniqueFd standardError_;
  // Readable once the child has ended; invalid where pidfd_open is unavailable (the
  // waits then look every few milliseconds instead).
  UniqueFd processFd_;
  std::mutex mutex_;
  std::optional<int> status_;
  std::function<void()> onReaped_;
};

// Hands an unreaped child to a background waiter that waits for it to end, without a
// bound, and reaps it then; the caller goes on at once. For a child that did not end
// after SIGKILL (stuck in the kernel): its owner must not block on it, and it must
// still be reaped exactly once. The waiter sends the child's group SIGKILL first. One
// waiting thread per handed-over child; such children are rare and each is a child
// the kernel itself is holding.
void reapInBackground(std::unique_ptr<ChildProcess> child);
// The same for a child that others may still hold (and signal) meanwhile.
void reapInBackground(std::shared_ptr<ChildProcess> child);

class ToolGroups;

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher();
  // Starts the child or throws LaunchError; never returns null.
  virtual std::unique_ptr<ChildProcess> launch(const LaunchRequest& request) = 0;
  // Start-up, before anything is launched: ends the tools a previous life of the helper
  // left running; one log line per tool group it found. None without tool records.
  virtual std::vector<std::string> endToolsOfPreviousLife();
  // A refusal text while a tool of a previous life may still run (looking again, and
  // ending what it can, each time); nothing otherwise.
  virtual std::optional<std::string> toolsOfPreviousLifeInDoubt();
};

// A launcher that resolves every executable beneath `root` (the descriptor standing
// for "/"; it must outlive the launcher). The executable is opened with no symbolic
// link followed anywhere on its path, must be a regular file with an execute bit, and
// exactly that opened file is what runs. The child gets exactly the request's
// environment, its own process group, a parent-death SIGKILL (tied to the launcher's
// own forking thread, which lives as long as the launcher), default signal
// dispositions and an empty signal mask, and no descriptor besides 0, 1, 2 and, at 3, a path-only (O_PATH)
// descriptor of its own executable (which lets the interpreter of a "#!" script open it).
// argv[0] is the logical path. For a "#!" script the kernel replaces argv[0] with the
// interpreter and passes the script as "/proc/self/fd/3", so a script sees that in $0
// and must learn anything else from its arguments.
// Failures throw LaunchError with the system's reason: ELOOP for a symbolic link on
// the path, ENOENT, EACCES for something that is not an executable regular file,
// EINVAL for a request string containing NUL or an environment entry without '='.
// With `groups`, each child's process group is recorded there before the child runs
// its tool (a launch fails with the record's errno when it cannot be) and forgotten once
// the child is reaped; the two start-up calls above use it.
std::unique_ptr<ProcessLauncher> makeProcessLauncher(const UniqueFd& root, std::shared_ptr<ToolGroups> groups = nullptr);

}  // namespace tidewarden::platform
