// Process facts of the simulated Mac, answered from the world.
#include "sim/simulated_process_facts.h"

#include <sys/stat.h>

namespace tidewarden::sim {

SimulatedProcessFacts::SimulatedProcessFacts(std::string worldDirectory, WorldProcess initial)
    : worldDirectory_(worldDirectory), world_(std::move(worldDirectory), WorldRecord{.process = initial}) {}

uid_t SimulatedProcessFacts::realUserId() { return world_.read([](const WorldRecord& w) { return w.process.uid; }); }

uid_t SimulatedProcessFacts::effectiveUserId() { return world_.read([](const WorldRecord& w) { return w.process.euid; }); }

platform::ProcessFacts::UserIds SimulatedProcessFacts::userIds() {
  return world_.read([](const WorldRecord& w) { return UserIds{w.process.uid, w.process.euid}; });
}

std::string SimulatedProcessFacts::cpuBrand() { return world_.read([](const WorldRecord& w) { return w.machine.cpuBrand; }); }

std::string SimulatedProcessFacts::modelIdentifier() {
  const std::string model = world_.read([](const WorldRecord& w) { return w.machine.modelIdentifier; });
  return model.empty() ? "Unknown" : model;
}

std::optional<std::string> SimulatedProcessFacts::deviceIdentifier() {
  struct stat st{};
  if (::stat(worldDirectory_.c_str(), &st) != 0) return std::nullopt;
  return "SIM-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

std::optional<std::string> SimulatedProcessFacts::userName(uid_t uid) {
  return world_.read([uid](const WorldRecord& w) -> std::optional<std::string> {
    for (const WorldAccount& account : w.accounts.users) {
      if (account.uid == static_cast<std::int64_t>(uid)) return account.name;
    }
    return std::nullopt;
  });
}

std::optional<uid_t> SimulatedProcessFacts::userId(std::string_view name) {
  return world_.read([name](const WorldRecord& w) -> std::optional<uid_t> {
    for (const WorldAccount& account : w.accounts.users) {
      if (account.name == name) return static_cast<uid_t>(account.uid);
    }
    return std::nullopt;
  });
}

std::string SimulatedProcessFacts::osVersion() { return "macOS (simulated)"; }

}  // namespace tidewarden::sim
