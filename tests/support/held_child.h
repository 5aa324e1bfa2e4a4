// A child the kernel does not end at once, for tests of the waits that must still end.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/process_launcher.h"

namespace tidewarden::testing {

// A child the kernel does not end at once, as one stuck in an uninterruptible wait:
// signals are accepted but nothing happens until the test lets it go.
class HeldChild final : public platform::ChildProcess {
 public:
  HeldChild(pid_t pid, platform::UniqueFd out, platform::UniqueFd err, const std::atomic<bool>& held)
      : ChildProcess(pid, std::move(out), std::move(err)), held_(held) {}
  bool signal(int sig) override { return held_ ? true : ChildProcess::signal(sig); }
  bool signalGroup(int sig) override { return held_ ? true : ChildProcess::signalGroup(sig); }

 private:
  const std::atomic<bool>& held_;  // the launcher's: the child may be gone before the test lets go
};

class HeldChildLauncher final : public platform::ProcessLauncher {
 public:
  std::unique_ptr<platform::ChildProcess> launch(const platform::LaunchRequest&) override {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw platform::LaunchError("sleep", errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("600"), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "sleep", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw platform::LaunchError("sleep", rc);
    this->pid = pid;
    return std::make_unique<HeldChild>(pid, platform::UniqueFd(out[0]), platform::UniqueFd(err[0]), held);
  }
  pid_t pid = -1;
  std::atomic<bool> held = true;
};

}  // namespace tidewarden::testing
