// The simulated Mac's wall clock: the host's, set ahead by the world's clock offset.
#pragma once

#include <string>

#include "platform/clock.h"
#include "sim/world.h"

namespace tidewarden::sim {

// now() is the host clock plus the world's `clock.aheadSeconds` as it is at each
// question (`tidewarden-sim world set-clock` takes effect at once; see WorldCache);
// uptime and sleeping are the host's, so leases and waits keep real time.
class SimulatedClock final : public platform::Clock {
 public:
  SimulatedClock(std::string worldDirectory, platform::Clock& host);

  double now() override;
  double uptime() override { return host_.uptime(); }
  void sleepFor(double seconds) override { host_.sleepFor(seconds); }

 private:
  WorldCache world_;
  platform::Clock& host_;
};

}  // namespace tidewarden::sim
