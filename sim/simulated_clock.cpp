// The simulated Mac's wall clock, read from the world's clock offset.
#include "sim/simulated_clock.h"

#include "sim/world.h"

namespace tidewarden::sim {

SimulatedClock::SimulatedClock(std::string worldDirectory, platform::Clock& host)
    : worldDirectory_(std::move(worldDirectory)), host_(host) {}

double SimulatedClock::now() { return host_.now() + aheadSeconds(); }

double SimulatedClock::aheadSeconds() {
  std::lock_guard lock(mutex_);
  struct stat st{};
  const std::string statePath = worldDirectory_ + "/" + std::string(World::kStateFile);
  if (::lstat(statePath.c_str(), &st) != 0) return lastAhead_;
  const FileIdentity identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  if (lastIdentity_ && lastIdentity_->device == identity.device && lastIdentity_->inode == identity.inode &&
      lastIdentity_->size == identity.size && lastIdentity_->modified.tv_sec == identity.modified.tv_sec &&
      lastIdentity_->modified.tv_nsec == identity.modified.tv_nsec) {
    return lastAhead_;
  }
  try {
    lastAhead_ = World::read(worldDirectory_).clock.aheadSeconds;
    lastIdentity_ = identity;
  } catch (const WorldError&) {
    // Keep the last offset read.
  }
  return lastAhead_;
}

}  // namespace tidewarden::sim
