// Process facts of the simulated Mac: the user ids the helper reports come from the world.
#pragma once

#include <optional>
#include <string>

#include "platform/process_facts.h"
#include "sim/world.h"

namespace tidewarden::sim {

// Answers from the world as it is at each question, so `tidewarden-sim world set-user`
// takes effect on the next call without a restart (see WorldCache).
class SimulatedProcessFacts final : public platform::ProcessFacts {
 public:
  SimulatedProcessFacts(std::string worldDirectory, WorldProcess initial);

  uid_t realUserId() override;
  uid_t effectiveUserId() override;
  UserIds userIds() override;
  std::string cpuBrand() override;
  std::string modelIdentifier() override;
  std::string osVersion() override;
  // The identity of the world directory: one simulated Mac per directory, the same
  // one across restarts of the simulator.
  std::optional<std::string> deviceIdentifier() override;
  std::optional<std::string> userName(uid_t uid) override;
  std::optional<uid_t> userId(std::string_view name) override;

 private:
  const std::string worldDirectory_;
  WorldCache world_;
};

}  // namespace tidewarden::sim
