// The simulated Mac's account database: user names from the world.
#include "sim/simulated_accounts.h"

#include "sim/world.h"

namespace tidewarden::sim {

std::optional<std::string> SimulatedAccounts::userName(uid_t uid) {
  try {
    for (const WorldAccount& account : World::read(worldDirectory_).accounts) {
      if (account.uid == static_cast<std::int64_t>(uid)) return account.name;
    }
  } catch (const WorldError&) {
  }
  return std::nullopt;
}

}  // namespace tidewarden::sim
