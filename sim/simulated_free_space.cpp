// Free space of the simulated Mac's data volume, decided by the world.
#include "sim/simulated_free_space.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_io.h"
#include "sim/world.h"

namespace tidewarden::sim {

SimulatedFreeSpace::SimulatedFreeSpace(std::string worldDirectory, const platform::UniqueFd& root)
    : worldDirectory_(std::move(worldDirectory)), root_(root) {}

std::optional<std::int64_t> SimulatedFreeSpace::freeBytes(std::string_view logicalPath) {
  if (!platform::openBeneath(root_, logicalPath, O_PATH)) return std::nullopt;
  try {
    return World::read(worldDirectory_).storage.freeBytes;
  } catch (const WorldError&) {
    errno = EIO;
    return std::nullopt;
  }
}

}  // namespace tidewarden::sim
