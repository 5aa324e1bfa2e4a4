// Real child processes for tests: run a program to completion, or keep one running and read its lines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tidewarden::testing {

struct ProgramResult {
  // The exit status, or 128 + the signal number when a signal ended the child.
  int exitCode = -1;
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
};

// Runs argv[0] (an absolute path) with the test's environment, feeds `standardInput`
// and collects both outputs. Waits at most `bound`; a child still running then is
// killed and reported as timedOut. Every wait wakes on the child's own events.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& standardInput = {},
                         std::chrono::milliseconds bound = std::chrono::seconds(60));

// A child that keeps running (a server). Its standard output is a pipe the test reads
// line by line; its standard error goes to the test's own. Destruction kills and
// reaps a child that is still running.
class RunningProgram {
 public:
  explicit RunningProgram(const std::vector<std::string>& argv);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of standard output without its newline; nullopt at end of output
  // or when no whole line arrived within `bound`.
  std::optional<std::string> readLine(std::chrono::milliseconds bound);
  // Sends `signal` and waits at most `bound` for the child to end. Returns its exit
  // code as in ProgramResult, or nullopt when it did not end in time (it is then
  // killed and reaped).
  std::optional<int> stop(int signal, std::chrono::milliseconds bound);
  // Waits at most `bound` for the child to end on its own.
  std::optional<int> waitForExit(std::chrono::milliseconds bound);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  platform::UniqueFd processFd_;
  platform::UniqueFd output_;
  std::string buffered_;
};

}  // namespace tidewarden::testing
