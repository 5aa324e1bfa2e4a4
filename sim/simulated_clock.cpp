// The simulated Mac's wall clock, read from the world's clock offset.
#include "sim/simulated_clock.h"

namespace tidewarden::sim {

SimulatedClock::SimulatedClock(std::string worldDirectory, platform::Clock& host)
    : world_(std::move(worldDirectory)), host_(host) {}

double SimulatedClock::now() {
  return host_.now() + world_.read([](const WorldRecord& world) { return world.clock.aheadSeconds; });
}

}  // namespace tidewarden::sim
