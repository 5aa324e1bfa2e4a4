// Thermal pressure and sleep notices of the simulated Mac, taken from the world.
#include "sim/simulated_system_power.h"

#include <vector>

#include "sim/world.h"

namespace tidewarden::sim {

SimulatedSystemPower::SimulatedSystemPower(std::string worldDirectory) : worldDirectory_(std::move(worldDirectory)) {}

SimulatedSystemPower::~SimulatedSystemPower() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

platform::ThermalState SimulatedSystemPower::thermalState() {
  try {
    switch (World::read(worldDirectory_).thermal.state) {
      case WorldThermalState::nominal:
        return platform::ThermalState::nominal;
      case WorldThermalState::fair:
        return platform::ThermalState::fair;
      case WorldThermalState::serious:
        return platform::ThermalState::serious;
      case WorldThermalState::critical:
        return platform::ThermalState::critical;
    }
  } catch (const WorldError&) {
  }
  // A world that cannot be read reports the worst: the helper then gives control back.
  return platform::ThermalState::critical;
}

bool SimulatedSystemPower::registerForSystemPower(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
  if (!thread_.joinable()) thread_ = std::thread([this] { deliver(); });
  return true;
}

void SimulatedSystemPower::deliver() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kPollInterval, [this] { return stopping_; })) {
    const Handler handler = handler_;
    lock.unlock();
    std::vector<WorldPowerEvent> events;
    try {
      if (!World::read(worldDirectory_).power.pending.empty()) {
        World::update(worldDirectory_, [&](WorldRecord& world) {
          events = std::move(world.power.pending);
          world.power.pending.clear();
          world.power.delivered.insert(world.power.delivered.end(), events.begin(), events.end());
        });
      }
    } catch (const WorldError&) {
      events.clear();
    }
    for (const WorldPowerEvent& event : events) {
      handler(event.kind == WorldPowerEventKind::willSleep ? platform::kSystemWillSleep : platform::kCanSystemSleep,
              static_cast<std::intptr_t>(event.id));
    }
    lock.lock();
  }
}

void SimulatedSystemPower::allowPowerChange(std::intptr_t notificationID) {
  try {
    World::update(worldDirectory_,
                  [&](WorldRecord& world) { world.power.allowed.push_back(static_cast<std::int64_t>(notificationID)); });
  } catch (const WorldError&) {
  }
}

}  // namespace tidewarden::sim
