// Free space of the simulated Mac's data volume, decided by the world.
#pragma once

#include <string>

#include "platform/free_space.h"
#include "platform/unique_fd.h"
#include "sim/world.h"

namespace tidewarden::sim {

// The path must open beneath the simulated root exactly as it would in production
// (no link followed); the answer is then the world's storage.freeBytes, set with
// `tidewarden-sim world free-space BYTES`, for every volume. A world that cannot be
// read gives no answer (errno EIO), which the helper treats as too little space. A
// pending append of the world (`installer append-on-free-space-check`) is made just
// before the measurement it waits for.
class SimulatedFreeSpace final : public platform::FreeSpace {
 public:
  SimulatedFreeSpace(std::string worldDirectory, const platform::UniqueFd& root);
  std::optional<std::int64_t> freeBytes(std::string_view logicalPath) override;

 private:
  WorldRecord applyPendingAppend();

  const std::string worldDirectory_;
  const platform::UniqueFd& root_;
};

}  // namespace tidewarden::sim
