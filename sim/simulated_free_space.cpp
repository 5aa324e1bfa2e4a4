// Free space of the simulated Mac's data volume, decided by the world.
#include "sim/simulated_free_space.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_io.h"
#include "sim/world.h"

namespace tidewarden::sim {

using platform::UniqueFd;

SimulatedFreeSpace::SimulatedFreeSpace(std::string worldDirectory, const platform::UniqueFd& root)
    : worldDirectory_(std::move(worldDirectory)), root_(root) {}

// Counts this measurement against the pending append and makes the append when its
// turn has come: the bytes land in the file before the measurement is answered.
WorldRecord SimulatedFreeSpace::applyPendingAppend() {
  return World::update(worldDirectory_, [&](WorldRecord& world) {
    if (!world.installers.pendingAppend) return;
    WorldPendingAppend& append = *world.installers.pendingAppend;
    if (--append.afterChecks > 0) return;
    const UniqueFd file = platform::openBeneath(root_, append.path, O_WRONLY | O_APPEND);
    if (!file || !platform::writeAll(file.get(), std::string(static_cast<std::size_t>(append.bytes), 'A'))) {
      throw WorldError("Cannot append to " + append.path + ": " + platform::errnoText(errno));
    }
    world.installers.pendingAppend.reset();
  });
}

std::optional<std::int64_t> SimulatedFreeSpace::freeBytes(std::string_view logicalPath) {
  if (!platform::openBeneath(root_, logicalPath, O_PATH)) return std::nullopt;
  try {
    WorldRecord world = World::read(worldDirectory_);
    if (world.installers.pendingAppend) world = applyPendingAppend();
    return world.storage.freeBytes;
  } catch (const WorldError&) {
    errno = EIO;
    return std::nullopt;
  }
}

}  // namespace tidewarden::sim
