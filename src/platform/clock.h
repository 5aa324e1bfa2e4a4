// Wall clock, system uptime and sleeping, behind one injectable interface.
#pragma once

#include <memory>

namespace tidewarden::platform {

// Seconds between 1970-01-01T00:00:00Z and 2001-01-01T00:00:00Z, the epoch of every
// date the helper encodes.
inline constexpr double kReferenceDateOffset = 978307200.0;

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time as seconds since 2001-01-01T00:00:00Z.
  virtual double now() = 0;
  // Monotonic seconds since boot; leases and observations use this.
  virtual double uptime() = 0;
  // Blocks the caller for `seconds` (a virtual clock advances instead).
  virtual void sleepFor(double seconds) = 0;
};

// The real clocks of the machine.
std::unique_ptr<Clock> makeSystemClock();

}  // namespace tidewarden::platform
