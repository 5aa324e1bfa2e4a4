// The simulated Mac's account database: user names from the world.
#pragma once

#include <string>

#include "platform/account_database.h"

namespace tidewarden::sim {

// Reads the world at each question, so accounts added while serving are known at once.
// A world that cannot be read knows no account (an owner name is only evidence).
class SimulatedAccounts final : public platform::AccountDatabase {
 public:
  explicit SimulatedAccounts(std::string worldDirectory) : worldDirectory_(std::move(worldDirectory)) {}
  std::optional<std::string> userName(uid_t uid) override;

 private:
  const std::string worldDirectory_;
};

}  // namespace tidewarden::sim
