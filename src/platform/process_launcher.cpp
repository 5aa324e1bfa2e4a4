// posix_spawn-based launcher that executes exactly the file it checked beneath the root.
#include "platform/process_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/file_io.h"

namespace tidewarden::platform {
namespace {

// The child's descriptor for its executable, and the path that executes it.
constexpr int kExecutableFd = 3;
constexpr const char* kExecutablePath = "/proc/self/fd/3";
// Sources of the child's descriptors 0..3 are kept at or above this number so that
// one dup2 onto 0..3 can never overwrite another's source.
constexpr int kFirstFreeFd = kExecutableFd + 1;
// The machine's own null device, also in simulation: it is not part of the world.
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kStandardInputName = "tidewarden-standard-input";
// How often a capture looks for the child's end where no pidfd can wake it.
constexpr std::chrono::milliseconds kEndPollInterval{5};

using SteadyClock = std::chrono::steady_clock;

timespec asTimespec(SteadyClock::duration duration) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  return timespec{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Moves `fd` to a number >= kFirstFreeFd (close-on-exec), keeping it if already there.
// On failure returns an invalid owner with errno from fcntl.
UniqueFd raised(UniqueFd fd) {
  if (fd.get() >= kFirstFreeFd) return fd;
  UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kFirstFreeFd));
  int err = errno;
  fd.reset();
  errno = err;
  return moved;
}

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (posix_spawnattr_init(&attr_) != 0) std::abort();
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() {
    if (posix_spawn_file_actions_init(&actions_) != 0) std::abort();
  }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Why posix_spawn of "/proc/self/fd/3" rather than fork + fexecve: the helper is
// multi-threaded, and glibc's posix_spawn starts the child without copying the
// address space and reports an exec failure back to us; fexecve of a close-on-exec
// descriptor cannot run a "#!" script (the interpreter finds the descriptor already
// closed). The child's descriptor 3 is the O_PATH descriptor opened and checked here,
// so the file that runs is the file that was checked, whatever the path names later.
class PosixSpawnLauncher final : public ProcessLauncher {
 public:
  explicit PosixSpawnLauncher(const UniqueFd& root) : root_(root) {}

  std::unique_ptr<ChildProcess> launch(const LaunchRequest& request) override {
    const std::string& name = request.executable;
    auto fail = [&](int err) { return LaunchError(name, err); };

    // A NUL would silently shorten a string on its way into the kernel.
    if (hasNul(name)) throw fail(EINVAL);
    for (const std::string& argument : request.arguments) {
      if (hasNul(argument)) throw fail(EINVAL);
    }
    for (const std::string& entry : request.environment) {
      if (hasNul(entry) || entry.find('=') == std::string::npos) throw fail(EINVAL);
    }

    UniqueFd executable = openBeneath(root_, name, O_PATH);
    if (!executable) throw fail(errno);
    struct stat status {};
    if (::fstat(executable.get(), &status) != 0) throw fail(errno);
    // With O_PATH a symbolic link leaf is opened as the link itself.
    if (S_ISLNK(status.st_mode)) throw fail(ELOOP);
    if (!S_ISREG(status.st_mode) || (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) throw fail(EACCES);
    if (request.expectedIdentity &&
        *request.expectedIdentity != ExecutableIdentity{status.st_dev, status.st_ino, status.st_size,
                                                        status.st_ctim.tv_sec, status.st_ctim.tv_nsec}) {
      throw fail(ESTALE);
    }

    UniqueFd input = standardInput(request, fail);
    int outputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) throw fail(errno);
    UniqueFd outputRead(outputPipe[0]);
    UniqueFd outputWrite(outputPipe[1]);
    UniqueFd errorRead;
    UniqueFd errorWrite;
    if (!request.standardErrorToOutput) {
      int errorPipe[2];
      if (::pipe2(errorPipe, O_CLOEXEC) != 0) throw fail(errno);
      errorRead.reset(errorPipe[0]);
      errorWrite.reset(errorPipe[1]);
    }

    for (UniqueFd* source : {&input, &outputWrite, &errorWrite, &executable}) {
      if (source == &errorWrite && request.standardErrorToOutput) continue;
      *source = raised(std::move(*source));
      if (!*source) throw fail(errno);
    }
    const int errorSource = request.standardErrorToOutput ? outputWrite.get() : errorWrite.get();

    SpawnFileActions actions;
    if (posix_spawn_file_actions_adddup2(actions.get(), input.get(), STDIN_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), outputWrite.get(), STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), errorSource, STDERR_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), executable.get(), kExecutableFd) != 0 ||
        // Everything of ours is close-on-exec already; this also covers descriptors
        // that a library opened without it.
        posix_spawn_file_actions_addclosefrom_np(actions.get(), kFirstFreeFd) != 0) {
      throw fail(ENOMEM);
    }

    SpawnAttributes attributes;
    sigset_t emptyMask;
    sigset_t allSignals;
    sigemptyset(&emptyMask);
    sigfillset(&allSignals);
    if (posix_spawnattr_setflags(attributes.get(),
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) != 0 ||
        posix_spawnattr_setpgroup(attributes.get(), 0) != 0 ||
        posix_spawnattr_setsigmask(attributes.get(), &emptyMask) != 0 ||
        posix_spawnattr_setsigdefault(attributes.get(), &allSignals) != 0) {
      throw fail(EINVAL);
    }

    std::vector<char*> argv;
    argv.reserve(request.arguments.size() + 2);
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const std::string& argument : request.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(request.environment.size() + 1);
    for (const std::string& entry : request.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, kExecutablePath, actions.get(), attributes.get(), argv.data(), envp.data());
    if (rc != 0) throw fail(rc);
    // The write ends close here, so end of file arrives when the child (and anything
    // it left running with them) is gone.
    return std::make_unique<ChildProcess>(pid, std::move(outputRead), std::move(errorRead));
  }

 private:
  // The request's bytes in an anonymous in-memory file, read from its start: the child
  // sees them followed by end of file, and no writer thread, pipe-size deadlock or
  // SIGPIPE is involved however much there is or however little the child reads.
  template <class Fail>
  static UniqueFd standardInput(const LaunchRequest& request, const Fail& fail) {
    if (!request.standardInput) {
      UniqueFd null(::open(kNullDevice, O_RDONLY | O_CLOEXEC));
      if (!null) throw fail(errno);
      return null;
    }
    UniqueFd memory(::memfd_create(kStandardInputName, MFD_CLOEXEC));
    if (!memory) throw fail(errno);
    if (!writeAll(memory.get(), *request.standardInput)) throw fail(errno);
    if (::lseek(memory.get(), 0, SEEK_SET) != 0) throw fail(errno);
    return memory;
  }

  const UniqueFd& root_;
};

}  // namespace

LaunchError::LaunchError(const std::string& executable, int err)
    : std::runtime_error("Cannot start " + executable + ": " + errnoText(err)), error_(err) {}

ProcessLauncher::~ProcessLauncher() = default;

std::unique_ptr<ProcessLauncher> makeProcessLauncher(const UniqueFd& root) {
  return std::make_unique<PosixSpawnLauncher>(root);
}

ChildProcess::ChildProcess(pid_t pid, UniqueFd standardOutput, UniqueFd standardError)
    : pid_(pid),
      standardOutput_(std::move(standardOutput)),
      standardError_(std::move(standardError)),
      // The child is not reaped yet, so `pid` cannot name another process.
      processFd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

ChildProcess::~ChildProcess() {
  if (status_) return;
  // The group id is the unreaped child's pid, which no other process can hold yet.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  reapLocked(0);
}

bool ChildProcess::sendLocked(pid_t target, int sig) {
  if (status_) return false;
  return ::kill(target, sig) == 0;
}

bool ChildProcess::signal(int sig) {
  std::lock_guard lock(mutex_);
  return sendLocked(pid_, sig);
}

bool ChildProcess::signalGroup(int sig) {
  std::lock_guard lock(mutex_);
  return sendLocked(-pid_, sig);
}

void ChildProcess::reapLocked(int options) {
  for (;;) {
    int status = 0;
    pid_t result = ::waitpid(pid_, &status, options);
    if (result == pid_) {
      status_ = status;
      return;
    }
    if (result == 0) return;  // WNOHANG and still running
    if (errno == EINTR) continue;
    std::abort();  // ECHILD: someone else reaped our child
  }
}

void reapInBackground(std::unique_ptr<ChildProcess> child) {
  reapInBackground(std::shared_ptr<ChildProcess>(std::move(child)));
}

void reapInBackground(std::shared_ptr<ChildProcess> child) {
  if (!child) return;
  child->signalGroup(SIGKILL);
  child->signal(SIGKILL);
  std::thread([owned = std::move(child)] { owned->wait(); }).detach();
}

std::optional<int> ChildProcess::tryWait() {
  std::lock_guard lock(mutex_);
  if (!status_) reapLocked(WNOHANG);
  return status_;
}

int ChildProcess::wait() {
  {
    std::lock_guard lock(mutex_);
    if (status_) return *status_;
  }
  // Wait for the end without reaping, outside the lock, so that signal() from another
  // thread stays possible and can never reach a recycled pid: the pid stays ours until
  // the reap below, which happens under the lock.
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno == EINTR) continue;
    if (errno == ECHILD) break;  // reaped meanwhile by tryWait() on another thread
    std::abort();
  }
  std::lock_guard lock(mutex_);
  if (!status_) reapLocked(0);
  return *status_;
}

bool ChildProcess::hasEnded() {
  std::lock_guard lock(mutex_);
  if (status_) return true;
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid_;
    if (errno == EINTR) continue;
    std::abort();  // ECHILD: someone else reaped our child
  }
}

bool ChildProcess::captureUntilExit(double seconds, OutputCapture& output, OutputCapture& error) {
  return capture(seconds, /*untilExit=*/true, output, error);
}

bool ChildProcess::captureUntilFinished(double seconds, OutputCapture& output, OutputCapture& error) {
  return capture(seconds, /*untilExit=*/false, output, error);
}

bool ChildProcess::capture(double seconds, bool untilExit, OutputCapture& output, OutputCapture& error) {
  const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                 std::chrono::duration<double>(std::max(0.0, seconds)));
  struct Stream {
    UniqueFd& pipe;
    OutputCapture& capture;
  };
  Stream streams[] = {{standardOutput_, output}, {standardError_, error}};
  for (Stream& stream : streams) {
    if (!stream.pipe && !stream.capture.finished()) stream.capture.failed = true;
  }
  char chunk[kCaptureChunkBytes];
  for (;;) {
    if (untilExit ? hasEnded() : output.finished() && error.finished()) return true;
    const auto now = SteadyClock::now();
    if (now >= deadline) return false;

    pollfd entries[3];
    Stream* owners[2];
    nfds_t streamCount = 0;
    for (Stream& stream : streams) {
      if (stream.capture.finished()) continue;
      entries[streamCount] = {stream.pipe.get(), POLLIN, 0};
      owners[streamCount++] = &stream;
    }
    nfds_t count = streamCount;
    SteadyClock::duration wait = deadline - now;
    if (untilExit && processFd_) {
      entries[count++] = {processFd_.get(), POLLIN, 0};
    } else if (untilExit) {
      wait = std::min<SteadyClock::duration>(wait, kEndPollInterval);
    }
    const timespec timeout = asTimespec(wait);
    const int ready = ::ppoll(entries, count, &timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Out of memory for the poll itself: what was not read stays unread.
      for (nfds_t i = 0; i < streamCount; ++i) owners[i]->capture.failed = true;
      return untilExit ? hasEnded() : true;
    }
    for (nfds_t i = 0; i < streamCount; ++i) {
      if (entries[i].revents == 0) continue;
      Stream& stream = *owners[i];
      const ssize_t got = ::read(stream.pipe.get(), chunk, sizeof chunk);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        (got == 0 ? stream.capture.ended : stream.capture.failed) = true;
        stream.pipe.reset();
        continue;
      }
      const auto size = static_cast<std::size_t>(got);
      if (!stream.capture.overflowed && stream.capture.bytes.size() + size <= stream.capture.limit) {
        stream.capture.bytes.append(chunk, size);
      } else {
        stream.capture.overflowed = true;
      }
    }
  }
}

}  // namespace tidewarden::platform
