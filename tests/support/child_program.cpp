// Real child processes for tests: spawning, bounded waits on pidfds and pipes, reaping.
#include "support/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/file_io.h"

extern char** environ;

namespace tidewarden::testing {
namespace {

using Clock = std::chrono::steady_clock;
using platform::UniqueFd;

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Starts argv with the given descriptors as 0, 1 and 2 (-1 keeps the test's own).
// Every other descriptor of the test is close-on-exec.
pid_t spawn(const std::vector<std::string>& argv, int input, int output, int error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  if (error >= 0) posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
  // The child starts with default dispositions and nothing blocked, whatever the
  // test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv.at(0).c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    errno = spawned;
    fail(argv.at(0).c_str());
  }
  return pid;
}

// The child's standard input: `bytes` in an anonymous in-memory file, read from its start.
// However much there is and however little the child reads, nothing waits on a pipe.
UniqueFd inputFile(const std::string& bytes) {
  UniqueFd memory(::memfd_create("standard-input", MFD_CLOEXEC));
  if (!memory || !platform::writeAll(memory.get(), bytes) || ::lseek(memory.get(), 0, SEEK_SET) != 0) {
    fail("standard input");
  }
  return memory;
}

UniqueFd openProcessFd(pid_t pid) {
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd) fail("pidfd_open");
  return fd;
}

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

bool waitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remainingMilliseconds(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) fail("poll");
  }
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  return decodeStatus(status);
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& standardInput,
                         std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  const UniqueFd input = inputFile(standardInput);
  Pipe output = makePipe();
  Pipe error = makePipe();
  const pid_t pid = spawn(argv, input.get(), output.write.get(), error.write.get());
  const UniqueFd processFd = openProcessFd(pid);
  output.write.reset();
  error.write.reset();

  ProgramResult result;
  while (output.read || error.read) {
    pollfd entries[2];
    nfds_t count = 0;
    UniqueFd* owners[2];
    for (UniqueFd* owner : {&output.read, &error.read}) {
      if (*owner) {
        entries[count] = {owner->get(), POLLIN, 0};
        owners[count++] = owner;
      }
    }
    const int ready = ::poll(entries, count, remainingMilliseconds(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    if (ready == 0) {
      result.timedOut = true;
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (entries[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(owners[i]->get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        owners[i]->reset();
        continue;
      }
      std::string& sink = owners[i] == &output.read ? result.standardOutput : result.standardError;
      sink.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (!result.timedOut && !waitReadable(processFd.get(), deadline)) result.timedOut = true;
  if (result.timedOut) ::kill(pid, SIGKILL);
  result.exitCode = reap(pid);
  return result;
}

RunningProgram::RunningProgram(const std::vector<std::string>& argv) {
  Pipe output = makePipe();
  UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull) fail("/dev/null");
  pid_ = spawn(argv, devNull.get(), output.write.get(), -1);
  processFd_ = openProcessFd(pid_);
  output_ = std::move(output.read);
}

RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    reap(pid_);
  }
}

std::optional<std::string> RunningProgram::readLine(std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    const std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    if (!output_ || !waitReadable(output_.get(), deadline)) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      output_.reset();
      return std::nullopt;
    }
    buffered_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<int> RunningProgram::waitForExit(std::chrono::milliseconds bound) {
  if (reaped_) return std::nullopt;
  if (!waitReadable(processFd_.get(), Clock::now() + bound)) return std::nullopt;
  reaped_ = true;
  return reap(pid_);
}

std::optional<int> RunningProgram::stop(int signal, std::chrono::milliseconds bound) {
  if (reaped_) return std::nullopt;
  ::kill(pid_, signal);
  if (std::optional<int> code = waitForExit(bound)) return code;
  ::kill(pid_, SIGKILL);
  reaped_ = true;
  reap(pid_);
  return std::nullopt;
}

}  // namespace tidewarden::testing
