// Rescue Drive operations table and the lock that local-installer work shares with it.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace tidewarden::rescue {

// One per process. `lock` guards `operations`; a local-installer operation holds it
// for its whole run, so a creation cannot start while an installer is being checked
// or removed, and an installer cannot be removed while a creation is recorded as
// running.
class RescueDriveCoordinator {
 public:
  struct Operation {
    bool finished = false;
  };

  std::mutex lock;
  std::map<std::string, Operation> operations;
};

}  // namespace tidewarden::rescue
