// Process facts of the simulated Mac, read from the world on every question.
#include "sim/simulated_process_facts.h"

#include <sys/stat.h>

namespace tidewarden::sim {

SimulatedProcessFacts::SimulatedProcessFacts(std::string worldDirectory, WorldProcess initial)
    : worldDirectory_(std::move(worldDirectory)), lastRead_{initial, {}, {}} {}

SimulatedProcessFacts::Facts SimulatedProcessFacts::current() {
  std::lock_guard lock(mutex_);
  struct stat st{};
  const std::string statePath = worldDirectory_ + "/" + std::string(World::kStateFile);
  if (::lstat(statePath.c_str(), &st) != 0) return lastRead_;
  const FileIdentity identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  if (lastIdentity_ && lastIdentity_->device == identity.device && lastIdentity_->inode == identity.inode &&
      lastIdentity_->size == identity.size && lastIdentity_->modified.tv_sec == identity.modified.tv_sec &&
      lastIdentity_->modified.tv_nsec == identity.modified.tv_nsec) {
    return lastRead_;
  }
  try {
    WorldRecord world = World::read(worldDirectory_);
    lastRead_ = {world.process, world.machine, world.accounts};
    lastIdentity_ = identity;
  } catch (const WorldError&) {
    // Keep the last values read; see the class comment.
  }
  return lastRead_;
}

uid_t SimulatedProcessFacts::realUserId() { return current().process.uid; }

uid_t SimulatedProcessFacts::effectiveUserId() { return current().process.euid; }

std::string SimulatedProcessFacts::cpuBrand() { return current().machine.cpuBrand; }

std::string SimulatedProcessFacts::modelIdentifier() {
  const std::string model = current().machine.modelIdentifier;
  return model.empty() ? "Unknown" : model;
}

std::optional<std::string> SimulatedProcessFacts::deviceIdentifier() {
  struct stat st{};
  if (::stat(worldDirectory_.c_str(), &st) != 0) return std::nullopt;
  return "SIM-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

std::optional<std::string> SimulatedProcessFacts::userName(uid_t uid) {
  for (const WorldAccount& account : current().accounts.users) {
    if (account.uid == static_cast<std::int64_t>(uid)) return account.name;
  }
  return std::nullopt;
}

std::optional<uid_t> SimulatedProcessFacts::userId(std::string_view name) {
  for (const WorldAccount& account : current().accounts.users) {
    if (account.name == name) return static_cast<uid_t>(account.uid);
  }
  return std::nullopt;
}

std::string SimulatedProcessFacts::osVersion() { return "macOS (simulated)"; }

}  // namespace tidewarden::sim
