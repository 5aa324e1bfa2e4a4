// Disk Arbitration of the simulated Mac: descriptions from the world's disks, mount requests from world events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/disk_arbitration.h"
#include "sim/world.h"

namespace tidewarden::sim {

// Sessions describe the world's disks as they are at each question. A thread of this
// object takes the mount requests that `tidewarden-sim world disk mount` posts (looking
// every 50 ms, reading the world only when it changed) and asks every registered
// approval callback, each on its own session's queue; the first dissent refuses the
// mount, otherwise the partition is mounted. Either way the outcome is recorded in the
// world under disks.mountOutcomes, in the same change that removes the request, so a
// simulator stopped in between asks again once it runs again. The thread stops when
// this object is destroyed.
class SimulatedDiskArbitration final : public platform::DiskArbitration {
 public:
  static constexpr std::chrono::milliseconds kPollInterval{50};

  explicit SimulatedDiskArbitration(std::string worldDirectory);
  ~SimulatedDiskArbitration() override;

  std::unique_ptr<platform::DiskArbitrationSession> createSession(platform::SerialQueue& queue) override;

  struct Registration;

 private:
  void deliver();
  void answer(const WorldMountRequest& request);

  const std::string worldDirectory_;
  WorldCache cache_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<Registration>> registrations_;
  std::thread thread_;  // last: started once everything above exists

  friend class SimulatedDiskArbitrationSession;
};

}  // namespace tidewarden::sim
