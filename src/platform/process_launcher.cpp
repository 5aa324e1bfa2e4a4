// The launcher that executes exactly the file it checked beneath the root, its tools bound to the helper's life.
#include "platform/process_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/file_io.h"
#include "platform/tool_groups.h"

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

// How a child that could not run its tool ends (the report tells the parent why).
constexpr int kChildFailure = 127;

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

// Everything the child needs, prepared before the fork: after it, the child of a
// multi-threaded process may only make async-signal-safe calls.
struct ChildFiles {
  pid_t parent;
  int go;
  int input;
  int output;
  int error;
  int executable;
  int report;
  char* const* argv;
  char* const* envp;
};

[[noreturn]] void childFailed(int report) {
  const int err = errno;
  (void)!::write(report, &err, sizeof err);
  ::_exit(kChildFailure);
}

// Closes every descriptor from `from` on except `keepA` and `keepB` (both >= from).
bool closeAllFromExcept(int from, int keepA, int keepB) {
  const int low = std::min(keepA, keepB);
  const int high = std::max(keepA, keepB);
  return (low == from || ::close_range(from, low - 1, 0) == 0) &&
         (high <= low + 1 || ::close_range(low + 1, high - 1, 0) == 0) && ::close_range(high + 1, ~0U, 0) == 0;
}

// The child between fork and exec. It dies with the helper (a parent-death SIGKILL,
// then a look whether the helper already died before it was asked for), leads a group of
// its own, takes its descriptors at once (closing every other, also those a library
// opened without close-on-exec, so no other launch's pipe stays open here), waits for
// the go-ahead, and runs with default dispositions and an empty mask.
[[noreturn]] void runChild(const ChildFiles& files) {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) childFailed(files.report);
  if (::getppid() != files.parent) ::_exit(kChildFailure);
  if (::setpgid(0, 0) != 0) childFailed(files.report);
  if (::dup2(files.input, STDIN_FILENO) < 0 || ::dup2(files.output, STDOUT_FILENO) < 0 ||
      ::dup2(files.error, STDERR_FILENO) < 0 || ::dup2(files.executable, kExecutableFd) < 0 ||
      !closeAllFromExcept(kFirstFreeFd, files.report, files.go)) {
    childFailed(files.report);
  }
  char go = 0;
  ssize_t got;
  do {
    got = ::read(files.go, &go, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1) ::_exit(kChildFailure);
  ::close(files.go);
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaultAction, nullptr);
  }
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);
  // The report's descriptor is close-on-exec: the exec closes it, telling the parent.
  ::execve(kExecutablePath, files.argv, files.envp);
  childFailed(files.report);
}

// The one thread that forks every tool, for the launcher's whole life. A parent-death
// signal is tied to the thread that forked the child, not to the process: forking on
// whichever thread asked (a pool worker that ends when idle) would kill tools early.
class ForkingThread {
 public:
  ForkingThread() : thread_([this] { run(); }) {}
  ~ForkingThread() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  ForkingThread(const ForkingThread&) = delete;
  ForkingThread& operator=(const ForkingThread&) = delete;

  // Forks; the child runs `child` (which must only make async-signal-safe calls and never
  // return). The child's pid, or -1 with errno.
  pid_t fork(const std::function<void()>& child) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return job_ == nullptr; });
    job_ = &child;
    done_ = false;
    changed_.notify_all();
    changed_.wait(lock, [this] { return done_; });
    job_ = nullptr;
    changed_.notify_all();
    errno = error_;
    return pid_;
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "tool-launcher");
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || (job_ != nullptr && !done_); });
      if (stopping_) return;
      // No handler of ours may run in the child before it has reset them all.
      sigset_t all;
      sigset_t previous;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &previous);
      const pid_t pid = ::fork();
      if (pid == 0) {
        (*job_)();
        ::_exit(kChildFailure);
      }
      error_ = errno;
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      pid_ = pid;
      done_ = true;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* job_ = nullptr;
  bool done_ = false;
  bool stopping_ = false;
  pid_t pid_ = -1;
  int error_ = 0;
  std::thread thread_;
};

// Why fork, on one thread, rather than posix_spawn: the child must ask for a parent-death
// SIGKILL and wait until its group is recorded before it runs anything, neither of which
// posix_spawn can do. It executes "/proc/self/fd/3" rather than fexecve: fexecve of a
// close-on-exec descriptor cannot run a "#!" script (the interpreter finds the descriptor
// already closed). The child's descriptor 3 is the O_PATH descriptor opened and checked
// here, so the file that runs is the file that was checked, whatever the path names later.
class ForkingLauncher final : public ProcessLauncher {
 public:
  ForkingLauncher(const UniqueFd& root, std::shared_ptr<ToolGroups> groups) : root_(root), groups_(std::move(groups)) {}

  std::vector<std::string> endToolsOfPreviousLife() override {
    return groups_ ? groups_->endPreviousLife() : std::vector<std::string>{};
  }
  std::optional<std::string> toolsOfPreviousLifeInDoubt() override {
    return groups_ ? groups_->doubt() : std::nullopt;
  }

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

    // The child reports a failed exec (its errno) through `report`, which the exec closes;
    // it runs nothing before a byte arrives through `go`, sent once its group is recorded.
    int reportPipe[2];
    if (::pipe2(reportPipe, O_CLOEXEC) != 0) throw fail(errno);
    UniqueFd reportRead(reportPipe[0]);
    UniqueFd reportWrite(reportPipe[1]);
    int goPair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, goPair) != 0) throw fail(errno);
    UniqueFd goSend(goPair[0]);
    UniqueFd goReceive(goPair[1]);

    for (UniqueFd* source : {&input, &outputWrite, &errorWrite, &executable, &reportWrite, &goReceive}) {
      if (source == &errorWrite && request.standardErrorToOutput) continue;
      *source = raised(std::move(*source));
      if (!*source) throw fail(errno);
    }
    const int errorSource = request.standardErrorToOutput ? outputWrite.get() : errorWrite.get();

    std::vector<char*> argv;
    argv.reserve(request.arguments.size() + 2);
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const std::string& argument : request.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(request.environment.size() + 1);
    for (const std::string& entry : request.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const ChildFiles files{::getpid(),       goReceive.get(),  input.get(),       outputWrite.get(), errorSource,
                           executable.get(), reportWrite.get(), argv.data(), envp.data()};
    const pid_t pid = forker_.fork([&files] { runChild(files); });
    if (pid < 0) throw fail(errno);
    // The write ends close here, so end of file arrives when the child (and anything
    // it left running with them) is gone.
    for (UniqueFd* end : {&input, &outputWrite, &errorWrite, &executable, &reportWrite, &goReceive}) end->reset();
    auto child = std::make_unique<ChildProcess>(pid, std::move(outputRead), std::move(errorRead));
    // Before the tool runs: its group is on record, or it never runs (the child is ended
    // and reaped with `child`).
    if (groups_) {
      if (!groups_->record(pid, name)) throw fail(errno);
      child->whenReaped([groups = groups_, pid] { groups->forget(pid); });
    }
    const char go = 'g';
    if (::send(goSend.get(), &go, 1, MSG_NOSIGNAL) != 1) throw fail(errno);
    goSend.reset();
    std::string report;
    if (!readAll(reportRead.get(), report, sizeof(int))) throw fail(errno);
    if (report.size() == sizeof(int)) {
      int err = 0;
      std::memcpy(&err, report.data(), sizeof err);
      throw fail(err);
    }
    if (!report.empty()) throw fail(EIO);
    return child;
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
  std::shared_ptr<ToolGroups> groups_;
  ForkingThread forker_;
};

}  // namespace

LaunchError::LaunchError(const std::string& executable, int err)
    : std::runtime_error("Cannot start " + executable + ": " + errnoText(err)), error_(err) {}

ProcessLauncher::~ProcessLauncher() = default;

std::vector<std::string> ProcessLauncher::endToolsOfPreviousLife() { return {}; }

std::optional<std::string> ProcessLauncher::toolsOfPreviousLifeInDoubt() { return std::nullopt; }

std::unique_ptr<ProcessLauncher> makeProcessLauncher(const UniqueFd& root, std::shared_ptr<ToolGroups> groups) {
  return std::make_unique<ForkingLauncher>(root, std::move(groups));
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
      if (onReaped_) onReaped_();
      return;
    }
    if (result == 0) return;  // WNOHANG and still running
    if (errno == EINTR) continue;
    std::abort();  // ECHILD: someone else reaped our child
  }
}

void ChildProcess::whenReaped(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  onReaped_ = std::move(action);
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
