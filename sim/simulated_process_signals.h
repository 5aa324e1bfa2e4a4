// Signals of the simulated Mac: recorded in the world, never sent to a host process.
#pragma once

#include <string>

#include "platform/process_signals.h"

namespace tidewarden::sim {

// Every signal the helper sends is appended to the world's `signals` list (pid and
// signal number, shown by `tidewarden-sim world show`); no process receives it. The
// simulated Mac's processes are the world's, and a pid the helper learned from a
// simulated tool may well be a real process of the host. A pid of 0 or below is
// refused with EINVAL, as in production; a world that cannot be updated gives EIO.
class SimulatedProcessSignals final : public platform::ProcessSignals {
 public:
  explicit SimulatedProcessSignals(std::string worldDirectory);
  bool send(pid_t pid, int signal) override;

 private:
  const std::string worldDirectory_;
};

}  // namespace tidewarden::sim
