// The simulated Mac's wall clock: the host's, set ahead by the world's clock offset.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace tidewarden::sim {

// now() is the host clock plus the world's `clock.aheadSeconds` as it is at each
// question (`tidewarden-sim world set-clock` takes effect at once); uptime and sleeping
// are the host's, so leases and waits keep real time. The state file is read again only
// when its identity changed; a world that cannot be read keeps the last offset read.
class SimulatedClock final : public platform::Clock {
 public:
  SimulatedClock(std::string worldDirectory, platform::Clock& host);

  double now() override;
  double uptime() override { return host_.uptime(); }
  void sleepFor(double seconds) override { host_.sleepFor(seconds); }

 private:
  double aheadSeconds();

  const std::string worldDirectory_;
  platform::Clock& host_;
  std::mutex mutex_;
  double lastAhead_ = 0;
  struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
  };
  std::optional<FileIdentity> lastIdentity_;
};

}  // namespace tidewarden::sim
