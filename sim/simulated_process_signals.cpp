// Signals of the simulated Mac: recorded in the world, never sent to a host process.
#include "sim/simulated_process_signals.h"

#include <cerrno>

#include "sim/world.h"

namespace tidewarden::sim {

SimulatedProcessSignals::SimulatedProcessSignals(std::string worldDirectory)
    : worldDirectory_(std::move(worldDirectory)) {}

bool SimulatedProcessSignals::send(pid_t pid, int signal) {
  if (pid <= 0) {
    errno = EINVAL;
    return false;
  }
  try {
    World::update(worldDirectory_, [&](WorldRecord& world) {
      world.signals.push_back({static_cast<std::int64_t>(pid), static_cast<std::int32_t>(signal)});
    });
  } catch (const WorldError&) {
    errno = EIO;
    return false;
  }
  return true;
}

}  // namespace tidewarden::sim
