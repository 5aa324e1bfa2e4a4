// Process facts of the simulated Mac: the user ids the helper reports come from the world.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/process_facts.h"
#include "sim/world.h"

namespace tidewarden::sim {

// Answers from the world as it is at each question, so `tidewarden-sim world set-user`
// takes effect on the next call without a restart. The state file is read again only
// when its identity (inode, size, modification time) changed, which every update does
// (it renames a new file into place). A world that cannot be read at that moment (for
// example edited by hand into invalid JSON) answers with the last values it could read:
// the facts are only reported, never used to grant anything.
class SimulatedProcessFacts final : public platform::ProcessFacts {
 public:
  SimulatedProcessFacts(std::string worldDirectory, WorldProcess initial);

  uid_t realUserId() override;
  uid_t effectiveUserId() override;
  std::string cpuBrand() override;
  std::string modelIdentifier() override;
  std::string osVersion() override;
  // The identity of the world directory: one simulated Mac per directory, the same
  // one across restarts of the simulator.
  std::optional<std::string> deviceIdentifier() override;
  std::optional<std::string> userName(uid_t uid) override;
  std::optional<uid_t> userId(std::string_view name) override;

 private:
  struct Facts {
    WorldProcess process;
    WorldMachine machine;
    WorldAccounts accounts;
  };
  Facts current();

  const std::string worldDirectory_;
  std::mutex mutex_;
  Facts lastRead_;
  // Identity of the state file that lastRead_ came from; nullopt forces a read.
  struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
  };
  std::optional<FileIdentity> lastIdentity_;
};

}  // namespace tidewarden::sim
